// Bootloader protocol: bare command words, short raw replies, and the image
// streamed in CRC-16 checked blocks.
#pragma once
#include <cstdint>

#include "catalogue/session.h"
#include "link/link.h"

namespace quarn {

uint8_t CheckID_B(SessionState& st, Link& hSerial);               // OK or ERR
uint8_t ReadID_B(SessionState& st, Link& hSerial, uint16_t& id);  // OK (any identifier) or ERR
// Whether a bootloader that reports id fits the selected model.
bool IdAccepted_B(const SessionState& st, uint16_t id);
uint8_t read_fu_version_B(SessionState& st, Link& hSerial);  // OK (VN_fu_version set) or ERR
uint8_t SendErase_B(SessionState& st, Link& hSerial);        // OK or ERR
uint8_t SendUpdate(SessionState& st, Link& hSerial);         // OK or ERR
uint8_t SendFW(SessionState& st, Link& hSerial);             // OK, NOK or ERR

// Number of "ERASE" commands and of firmware blocks for the selected model
// and an image of L bytes. Both are 0 for a 4K-page model whose image is too
// short to hold its unsent last 4096 bytes, and for an image whose page count
// would not fit 16 bits (callers refuse such an image).
uint16_t totalPages(uint32_t modelIdx, uint32_t L);
int32_t totalPacket(uint32_t modelIdx, uint32_t L);
// The image bytes the blocks carry (a 4K-page model never sends its last 4096).
uint32_t bytesSent(uint32_t modelIdx, uint32_t L);
// Whether the image length can be erased and sent for this model at all.
bool imageFits(uint32_t modelIdx, uint32_t L);

// Copies counter bytes from fin to rxbuf and advances fin; never reads past
// the image's end (a short copy then stops at the end).
void FileRead(SessionState& st, uint8_t* rxbuf, int32_t counter);

extern const uint16_t crctab[256];
// CRC-16/XMODEM of len bytes.
uint32_t CRC(const uint8_t* data, uint32_t len);

}  // namespace quarn
