// The reader's frames, byte by byte, in both generations: building a reader
// command frame, the check byte, and where a reply keeps its length and its
// information field. Pure functions of bytes.
//
// Old generation: type, N as 24 bits big-endian, N information bytes.
// New generation: address, control, N, N information bytes, check byte.
// Either way a frame is N + 4 bytes long.
#pragma once

#include "platform/kernel/wdm.h"
#include "driver/reader/firmware_generation.h"

constexpr UCHAR OldCommandType = 0x10;
constexpr UCHAR OldT0CardType = 0x50;
constexpr UCHAR OldT1CardType = 0x51;
constexpr UCHAR NewCommandAddress = 0x12;
constexpr UCHAR NewCardAddress = 0x52;

// The information field of a reader command starts with this class byte.
constexpr UCHAR ReaderCommandClass = 0x01;
// The control byte of new-generation reader commands alternates by this bit.
constexpr UCHAR SequenceByteToggle = 0x40;

// Bytes a frame adds around its information field.
constexpr ULONG FrameOverhead = 4;
constexpr ULONG ReaderCommandParametersMax = 2;
constexpr ULONG ReaderCommandFrameMax = FrameOverhead + 2 + ReaderCommandParametersMax;

ULONG FrameHeaderLength(FRAME_GENERATION Generation);

// Exclusive-or of the bytes.
UCHAR FrameCheckByte(const UCHAR* Bytes, ULONG Length);

// Writes the frame of a reader command (class byte, command byte, the
// parameters) into Frame, which holds ReaderCommandFrameMax bytes, and
// returns its length; 0 when there are more parameters than a command has.
ULONG BuildReaderCommandFrame(FRAME_GENERATION Generation, UCHAR SequenceByte, UCHAR Command, const UCHAR* Parameters,
                              ULONG ParameterCount, PUCHAR Frame);

// The length N that a reply announces; its first 4 bytes must have arrived.
ULONG AnnouncedReplyLength(FRAME_GENERATION Generation, const UCHAR* Reply);

// What the first Received bytes of a reply say about its information field.
struct REPLY_LAYOUT {
  BOOLEAN LengthKnown;       // 4 bytes or more arrived
  ULONG InformationOffset;   // frame offset of information byte 0
  ULONG InformationLength;   // N as announced
  ULONG InformationPresent;  // information bytes that arrived, at most N
};

REPLY_LAYOUT DescribeReply(FRAME_GENERATION Generation, const UCHAR* Reply, ULONG Received);
