// Download of one part of the PDA image: announce the target, check the
// partition's capacity, send the part into the handheld's RAM, then follow the
// handheld's flash phase or serve the DFormat program's host files.
#pragma once

#include <cstdint>

#include "pda/pda_job.h"

namespace k730 {

// Counters of the exchange rule: a packet is sent at most 11 times in a row,
// and at most 10 failed responses are tolerated per exchange.
constexpr int kMaxResendCount = 10;
constexpr uint32_t kProgressPerChunk = 409600;  // 100 x 4,096: a chunk counts as 4,096 bytes
constexpr int kProgressEveryChunks = 20;
constexpr const char* kCapacityMessage = "[ERROR] FileSize is Bigger than BDKSize";

// One command and its response, with resending: the first transmission uses
// command, resends use resendCommand. The response data goes to destination
// (at most capacity bytes). Returns true when a good response arrived.
bool ExchangePacket(const PdaJob& job, uint32_t command, uint32_t resendCommand,
                    const uint8_t* payload, uint32_t length, uint8_t* destination,
                    uint32_t capacity);

// The part is job.view, the target job.targetCode. Returns 1 when the handheld
// reported the flash written completely, 0 otherwise (always 0 for DFormat;
// programStarted, when given, tells whether its program was loaded and run).
int DownloadPartition(const PdaJob& job, bool* programStarted = nullptr);

}  // namespace k730
