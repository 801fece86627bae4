#include "outcome/outcome.h"

#include <cwchar>
#include <new>

namespace {

struct Outcome {
    std::vector<OutcomeStep> steps;
    OutcomeCounts totals;
    OutcomeObserver observer = nullptr;
    std::wstring aliasFrom;
    std::wstring aliasTo;
};

Outcome& State() {
    static Outcome outcome;
    return outcome;
}

// The step that counts an item; "start" before the first banner. Null only when memory ran out.
OutcomeStep* CurrentStep() {
    Outcome& outcome = State();
    if (outcome.steps.empty()) BeginOutcomeStep(L"start");
    return outcome.steps.empty() ? nullptr : &outcome.steps.back();
}

void Count(OutcomeCounts& counts, ItemResult result) {
    switch (result) {
        case ItemResult::kDeleted:
            ++counts.deleted;
            break;
        case ItemResult::kFailed:
            ++counts.failed;
            break;
        case ItemResult::kScheduled:
            ++counts.scheduled;
            break;
    }
}

// `what` with the alias's prefix replaced; empty when the alias does not apply (or memory ran out).
std::wstring Aliased(const Outcome& outcome, const wchar_t* what) {
    const std::wstring& from = outcome.aliasFrom;
    if (from.empty() || !what || _wcsnicmp(what, from.c_str(), from.size()) != 0) return {};
    const wchar_t next = what[from.size()];
    if (next != L'\\' && next != L'\0') return {};
    try {
        return outcome.aliasTo + (what + from.size());
    } catch (...) {
        return {};
    }
}

}  // namespace

void BeginOutcomeStep(const wchar_t* title) {
    try {
        State().steps.push_back(OutcomeStep{title ? title : L"", {}});
    } catch (const std::bad_alloc&) {
        // The totals still count every item (and so the exit code stays right); only the step is lost.
    }
}

void RecordOutcome(ItemKind kind, const wchar_t* what, ItemResult result, DWORD error) {
    Outcome& outcome = State();
    Count(outcome.totals, result);
    if (OutcomeStep* step = CurrentStep()) Count(step->counts, result);
    if (!outcome.observer) return;
    const std::wstring aliased = Aliased(outcome, what);
    outcome.observer(kind, !aliased.empty() ? aliased.c_str() : what ? what : L"", result, error);
}

const std::vector<OutcomeStep>& OutcomeSteps() { return State().steps; }

OutcomeCounts OutcomeTotals() { return State().totals; }

DWORD OutcomeExitCode() {
    const OutcomeCounts& totals = State().totals;
    if (totals.failed) return kExitFailure;
    if (totals.scheduled) return kExitRestartNeeded;
    return kExitSuccess;
}

void SetOutcomeObserver(OutcomeObserver observer) { State().observer = observer; }

void SetOutcomeNameAlias(const wchar_t* from, const wchar_t* to) {
    Outcome& outcome = State();
    try {
        outcome.aliasFrom = from ? from : L"";
        outcome.aliasTo = to ? to : L"";
    } catch (...) {
        outcome.aliasFrom.clear();
    }
}

void ResetOutcome() {
    Outcome& outcome = State();
    outcome.steps.clear();
    outcome.totals = {};
}
