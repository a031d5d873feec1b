// Status message wire format: the 944-byte record a scanner daemon sends, shared by the
// daemon's intake and the status-send tool. Constants only; no state, no locking.
// Integers are in host byte order (both ends run on one machine), never swapped.
#ifndef GC_INTAKE_STATUS_MESSAGE_H
#define GC_INTAKE_STATUS_MESSAGE_H

#include <cstddef>
#include <cstdint>

namespace status_msg {

// Record: type word (4), product code (4), subsystem code (4), op code (4), item ID (4),
// value kind (4), value area (920). Message queues count only the bytes after the type
// word; a UDP datagram carries the whole record.
constexpr size_t kTypeOff = 0;
constexpr size_t kProductOff = 4;
constexpr size_t kSubsysOff = 8;
constexpr size_t kOpOff = 12;
constexpr size_t kItemOff = 16;
constexpr size_t kKindOff = 20;
constexpr size_t kValueOff = 24;
constexpr size_t kWordSize = 4;
constexpr size_t kValueSize = 920;
constexpr size_t kSize = kValueOff + kValueSize;  // 944
constexpr size_t kBodySize = kSize - kWordSize;   // 940, the size given to the channel
static_assert(kSize == 944 && kBodySize == 940, "status message size is fixed");

// The only accepted type word, and the product and subsystem codes (no terminator).
constexpr int32_t kType = 1;
constexpr char kProduct[4] = {'S', 'N', 'T', 'R'};
constexpr char kSubsys[4] = {'S', 'T', 'A', 'T'};
// The product code read as one big-endian number: the channel's project id.
constexpr int kProjectId = ('S' << 24) | ('N' << 16) | ('T' << 8) | 'R';

// Op codes and value kinds. kKindParsed marks a decoded message, never sent on the wire.
constexpr int32_t kOpSet = 'S';
constexpr int32_t kOpIncrement = 'I';
constexpr int32_t kKindInt = 'I';         // 32-bit integer at kValueOff
constexpr int32_t kKindInt64 = 'Z';       // 64-bit integer at kValueOff
constexpr int32_t kKindString = 'S';      // slot A
constexpr int32_t kKindTwoStrings = '2';  // slot A, slot B
constexpr int32_t kKindFieldText = 's';   // a field text buffer image at kValueOff
constexpr int32_t kKindParsed = 'a';

constexpr int kItemMin = 1;
constexpr int kItemMax = 12;

// String slot (460): length (4, unsigned, at most 449), characters (450, 0 at length),
// padding (2), truncated flag (4, non-zero when the sender cut the string).
constexpr size_t kSlotLenOff = 0;
constexpr size_t kSlotTextOff = 4;
constexpr size_t kSlotTextSize = 450;
constexpr size_t kSlotFlagOff = kSlotTextOff + kSlotTextSize + 2;  // 456
constexpr size_t kSlotSize = kSlotFlagOff + 4;                     // 460
constexpr uint32_t kSlotMaxLen = kSlotTextSize - 1;                // 449
constexpr size_t kSlotAOff = kValueOff;                            // 24
constexpr size_t kSlotBOff = kSlotAOff + kSlotSize;                // 484
static_assert(kSlotSize == 460 && kSlotBOff + kSlotSize == kSize, "two slots fill the record");

// Field text buffer image (912): text (900, 0-terminated), length (4, signed), room
// left (4, signed, 899 when empty), truncated mark (4).
constexpr size_t kTextSize = 900;
constexpr size_t kTextLenOff = kTextSize;             // 900
constexpr size_t kTextRoomOff = kTextLenOff + 4;      // 904
constexpr size_t kTextTruncOff = kTextRoomOff + 4;    // 908
constexpr size_t kTextImageSize = kTextTruncOff + 4;  // 912
constexpr int kTextMaxLen = kTextSize - 1;            // 899
static_assert(kTextImageSize == 912 && kValueOff + kTextImageSize <= kSize,
              "a field text image fits the value area");

}  // namespace status_msg

#endif
