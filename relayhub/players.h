#pragma once
// players: what the bytes of a connection mean. Classifies a PENDING record as a SOURCE or a
// PLAYER, feeds the stream window from sources and paces the stream out to players.

#include <cstdint>

#include "connections.h"

// The data step, after a read of one or more bytes into record i.
StepAnswer handle_data(std::uint32_t i);
// The idle step, after a read of record i that found nothing (EAGAIN).
StepAnswer handle_idle(std::uint32_t i);
