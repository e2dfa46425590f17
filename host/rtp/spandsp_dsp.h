// spandsp's G.711 and DTMF declarations. Its headers are not self-contained:
// each relies on those before it, so the order here is fixed.
#pragma once

// clang-format off
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/logging.h>
#include <spandsp/super_tone_rx.h>
#include <spandsp/g711.h>
#include <spandsp/dtmf.h>
// clang-format on
