// Readable gtest output for the analysis values that have no stream operator.
#pragma once

#include <ostream>

#include "NerivaneKit/analysis/TargetState.h"
#include "NerivaneKit/analysis/Verdict.h"
#include "NerivaneKit/net/IPFamily.h"
#include "NerivaneKit/probing/ICMPProber.h"

namespace nerivane {

inline void PrintTo(Verdict verdict, std::ostream* os) { *os << text(verdict); }

inline void PrintTo(IPFamily family, std::ostream* os) { *os << (family == IPFamily::v4 ? "IPv4" : "IPv6"); }

inline void PrintTo(ICMPProber::SocketKind kind, std::ostream* os) {
    *os << (kind == ICMPProber::SocketKind::ping ? "ping" : "raw");
}

inline void PrintTo(const TargetState& state, std::ostream* os) {
    switch (state.kind) {
    case TargetState::Kind::bad: *os << "bad(" << state.problems.rawValue << ")"; break;
    case TargetState::Kind::measuring: *os << "measuring"; break;
    case TargetState::Kind::ok: *os << "ok"; break;
    case TargetState::Kind::down: *os << "down"; break;
    }
}

}  // namespace nerivane
