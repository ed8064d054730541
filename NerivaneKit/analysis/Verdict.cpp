#include "NerivaneKit/analysis/Verdict.h"

#include "NerivaneKit/analysis/LoadEvidence.h"
#include "NerivaneKit/platform/EnumTexts.h"

namespace nerivane {
namespace {

constexpr auto texts = enumTexts<Verdict>({
    {Verdict::measuring, "measuring"},
    {Verdict::good, "good"},
    {Verdict::internetProblem, "internetProblem"},
    {Verdict::internetDown, "internetDown"},
    {Verdict::localProblem, "localProblem"},
    {Verdict::localDown, "localDown"},
    {Verdict::connectionProblem, "connectionProblem"},
    {Verdict::connectionDown, "connectionDown"},
    {Verdict::internetUnmeasured, "internetUnmeasured"},
    {Verdict::offline, "offline"},
    {Verdict::lookupsFailing, "lookupsFailing"},
    {Verdict::lookupsSlow, "lookupsSlow"},
    {Verdict::slowWhileBusy, "slowWhileBusy"},
    {Verdict::providerDown, "providerDown"},
    {Verdict::providerProblem, "providerProblem"},
    {Verdict::signInNeeded, "signInNeeded"},
});

}  // namespace

std::string_view text(Verdict verdict) {
    return texts.textOf(verdict);
}

std::optional<Verdict> parseVerdict(std::string_view text) {
    return texts.valueOf(text);
}

Verdict decideVerdict(bool isSatisfied, const std::optional<TargetState>& router,
                      const std::optional<TargetState>& internet) {
    using Kind = TargetState::Kind;
    if (!isSatisfied) return Verdict::offline;
    if (!internet) return Verdict::internetUnmeasured;
    switch (internet->kind) {
    case Kind::measuring: return Verdict::measuring;
    case Kind::ok: return Verdict::good;
    case Kind::bad:
    case Kind::down: break;
    }
    // The internet is in trouble from here on; the router tells where.
    const bool internetDown = internet->kind == Kind::down;
    if (!router) return internetDown ? Verdict::connectionDown : Verdict::connectionProblem;
    switch (router->kind) {
    case Kind::bad: return Verdict::localProblem;
    case Kind::measuring: return Verdict::measuring;
    case Kind::ok: return internetDown ? Verdict::internetDown : Verdict::internetProblem;
    case Kind::down: return internetDown ? Verdict::localDown : Verdict::localProblem;
    }
    return Verdict::measuring;
}

Verdict withProvider(Verdict verdict, const std::optional<TargetState>& provider,
                     const std::optional<TargetState>& internet) {
    if (!provider || !internet) return verdict;
    if (verdict == Verdict::internetDown && provider->kind == TargetState::Kind::down) return Verdict::providerDown;
    if (verdict != Verdict::internetProblem || provider->kind != TargetState::Kind::bad ||
        internet->kind != TargetState::Kind::bad)
        return verdict;
    for (const Problems shared : {Problems::latency(), Problems::loss()}) {
        if (provider->problems.contains(shared) && internet->problems.contains(shared)) return Verdict::providerProblem;
    }
    return verdict;
}

Verdict withLookups(Verdict verdict, const std::optional<LookupSnapshot>& lookups) {
    if (verdict != Verdict::good || !lookups) return verdict;
    switch (lookups->health) {
    case LookupSnapshot::Health::failing: return Verdict::lookupsFailing;
    case LookupSnapshot::Health::slow: return Verdict::lookupsSlow;
    case LookupSnapshot::Health::unknown:
    case LookupSnapshot::Health::ok: break;
    }
    return verdict;
}

Verdict withLoad(Verdict verdict, const std::optional<LoadEvidence>& load,
                 const std::optional<LookupSnapshot>& lookups) {
    if (!load) return withLookups(verdict, lookups);
    switch (verdict) {
    case Verdict::internetProblem:
    case Verdict::localProblem:
    case Verdict::connectionProblem:
        if (load->busyInWindow && load->idleVerdict == Verdict::good)
            verdict = load->busyNow ? Verdict::slowWhileBusy : Verdict::good;
        break;
    default: break;
    }
    verdict = withLookups(verdict, lookups);
    const bool lookupTrouble = verdict == Verdict::lookupsSlow || verdict == Verdict::lookupsFailing;
    if (lookupTrouble && load->busyNow && load->bloatedNow) return Verdict::slowWhileBusy;
    return verdict;
}

Verdict withSignIn(Verdict verdict, bool signInNeeded) {
    if (!signInNeeded) return verdict;
    switch (verdict) {
    case Verdict::offline:
    case Verdict::localProblem:
    case Verdict::localDown: return verdict;
    default: return Verdict::signInNeeded;
    }
}

}  // namespace nerivane
