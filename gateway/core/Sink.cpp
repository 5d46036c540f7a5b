#include "gateway/core/Sink.h"

#include <nlohmann/json.hpp>

nlohmann::json StationStateJson(const StationState& s) {
    return {{"state", StationHealthName(s.state)},
            {"controls", s.controls},
            {"control_failures", s.controlFailures},
            {"polls", s.polls},
            {"poll_failures", s.pollFailures}};
}
