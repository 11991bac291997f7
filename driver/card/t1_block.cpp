// Building and checking T=1 blocks.
#include "driver/card/t1_block.h"

#include "driver/reader/reader_frame.h"

ULONG BuildT1Block(PUCHAR Block, UCHAR Pcb, const UCHAR* Inf, ULONG InfLength) {
  Block[0] = T1Nad;
  Block[1] = Pcb;
  Block[2] = static_cast<UCHAR>(InfLength);
  RtlCopyMemory(Block + T1PrologueLength, Inf, InfLength);
  const ULONG length = InfLength + T1BlockOverhead;
  SealT1Block(Block, length);
  return length;
}

void SealT1Block(PUCHAR Block, ULONG Length) { Block[Length - 1] = FrameCheckByte(Block, Length - 1); }

BOOLEAN T1BlockIntact(const UCHAR* Block, ULONG Length) {
  if (Length < T1BlockOverhead || Length != Block[2] + T1BlockOverhead) return FALSE;
  return FrameCheckByte(Block, Length - 1) == Block[Length - 1] ? TRUE : FALSE;
}
