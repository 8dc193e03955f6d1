#include "players.h"

// Placeholders until sources and players are built: every record is kept as it is.
StepAnswer handle_data(std::uint32_t) { return KEEP; }
StepAnswer handle_idle(std::uint32_t) { return KEEP; }
