// T=1 blocks as the driver builds and reads them (ISO/IEC 7816-3 clause
// 11.3): NAD, PCB, LEN, LEN information bytes, and the LRC, the
// exclusive-or of every byte before it. Pure functions of bytes.
#pragma once

#include "platform/kernel/wdm.h"

// Every block the driver sends carries this NAD; the card's NAD is not read.
constexpr UCHAR T1Nad = 0x52;
constexpr ULONG T1PrologueLength = 3;
constexpr ULONG T1BlockOverhead = T1PrologueLength + 1;
constexpr ULONG T1InfMax = 255;
constexpr ULONG T1BlockMax = T1InfMax + T1BlockOverhead;
// ISO/IEC 7816-3 clause 11.4: the card's information field size until it says otherwise.
constexpr UCHAR T1DefaultIfsc = 32;

// PCB: I-blocks have bit 0x80 clear; R-blocks 10 and S-blocks 11 in bits 0xC0.
constexpr UCHAR T1PcbKindMask = 0xC0;
constexpr UCHAR T1PcbRBlock = 0x80;
constexpr UCHAR T1PcbSBlock = 0xC0;
constexpr UCHAR T1IBlockSequence = 0x40;  // N(S)
constexpr UCHAR T1IBlockMore = 0x20;      // M: more blocks of the chain follow
constexpr UCHAR T1RBlockSequence = 0x10;  // N(R)
constexpr UCHAR T1RBlockErrorMask = 0x03;
constexpr UCHAR T1SBlockTypeMask = 0x3F;

// R-block error codes.
constexpr UCHAR T1RNoError = 0;
constexpr UCHAR T1REdcError = 1;
constexpr UCHAR T1ROtherError = 2;

// S-block types; a response is its request's type plus 0x20.
constexpr UCHAR T1SResynch = 0x00;
constexpr UCHAR T1SIfs = 0x01;
constexpr UCHAR T1SAbort = 0x02;
constexpr UCHAR T1SWtx = 0x03;
constexpr UCHAR T1SResponse = 0x20;

// T1Sequence: the N(S) of the driver's next I-block, and the N(S) that the
// card's next I-block must carry. A transmission that broke off may have
// left the card anywhere in its sequence; T1SequenceUnknown then makes the
// next one resynchronise first. Every reset clears it with the rest.
constexpr UCHAR T1SendSequence = 0x40;
constexpr UCHAR T1ExpectedSequence = 0x10;
constexpr UCHAR T1SequenceUnknown = 0x01;

// Writes the block into Block (room for T1BlockMax bytes) and returns its length.
ULONG BuildT1Block(PUCHAR Block, UCHAR Pcb, const UCHAR* Inf, ULONG InfLength);

// Recomputes the LRC of the Length bytes of Block.
void SealT1Block(PUCHAR Block, ULONG Length);

// The Length bytes are one whole block: at least the prologue and LRC, as
// long as its LEN announces, and the LRC right.
BOOLEAN T1BlockIntact(const UCHAR* Block, ULONG Length);
