// What the log says besides the debug lines: console lines, recorded items, child processes and the
// stage's summary.
#include <windows.h>

#include <cwchar>
#include <string>

#include "log/log.h"
#include "log/log_detail.h"
#include "outcome/outcome.h"

namespace {

const wchar_t* KindName(ItemKind kind) {
    switch (kind) {
        case ItemKind::kFile:
            return L"file";
        case ItemKind::kFolder:
            return L"folder";
        case ItemKind::kKey:
            return L"key";
        case ItemKind::kValue:
            return L"value";
        case ItemKind::kShortcut:
            return L"shortcut";
        case ItemKind::kProcess:
            return L"process";
        case ItemKind::kService:
            return L"service";
        case ItemKind::kComponent:
            return L"component";
        case ItemKind::kProgram:
            return L"program";
    }
    return L"item";
}

// What became of an item of that kind: deleted, or for a component unregistered, for a process stopped.
const wchar_t* Removed(ItemKind kind) {
    if (kind == ItemKind::kComponent) return L"unregistered";
    if (kind == ItemKind::kProcess) return L"stopped";
    return L"deleted";
}

void OnItem(ItemKind kind, const wchar_t* what, ItemResult result, DWORD error) {
    wchar_t verdict[96] = {};
    switch (result) {
        case ItemResult::kDeleted:
            swprintf(verdict, 96, L"%ls %ls", KindName(kind), Removed(kind));
            break;
        case ItemResult::kFailed:
            swprintf(verdict, 96, L"%ls NOT %ls (error %lu)", KindName(kind), Removed(kind),
                     static_cast<unsigned long>(error));
            break;
        case ItemResult::kScheduled:
            swprintf(verdict, 96, L"%ls deleted at the next restart", KindName(kind));
            break;
    }
    tavo::log::WriteLine(verdict, what ? what : L"");
}

std::wstring Counts(const OutcomeCounts& counts) {
    wchar_t text[128] = {};
    swprintf(text, 128, L"%u deleted, %u failed, %u scheduled for restart", counts.deleted, counts.failed,
             counts.scheduled);
    return text;
}

}  // namespace

namespace tavo::log {

void StartItems() { SetOutcomeObserver(OnItem); }
void StopItems() { SetOutcomeObserver(nullptr); }

}  // namespace tavo::log

void LogConsoleLine(const wchar_t* text) {
    if (!tavo::log::Active()) return;
    try {
        // Each line of the text, an empty one too, as the console shows it.
        const std::wstring all = text ? text : L"";
        size_t begin = 0;
        for (;;) {
            const size_t end = all.find(L'\n', begin);
            std::wstring line =
                all.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
            if (!line.empty() && line.back() == L'\r') line.pop_back();
            tavo::log::WriteLine(L"console", line);
            if (end == std::wstring::npos) break;
            begin = end + 1;
        }
    } catch (...) {  // out of memory: the line is lost
    }
}

void LogChildStarted(const wchar_t* commandLine, HANDLE process) {
    if (!tavo::log::Active()) return;
    wchar_t kind[64] = {};
    swprintf(kind, 64, L"child %lu started", static_cast<unsigned long>(process ? GetProcessId(process) : 0));
    tavo::log::WriteLine(kind, commandLine ? commandLine : L"");
}

void LogChildEnded(HANDLE process) {
    if (!tavo::log::Active()) return;
    DWORD code = 0;
    wchar_t text[96] = {};
    if (!process || !GetExitCodeProcess(process, &code)) {
        swprintf(text, 96, L"exit code unknown (error %lu)", static_cast<unsigned long>(GetLastError()));
    } else if (code == STILL_ACTIVE && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        swprintf(text, 96, L"still running");
    } else {
        swprintf(text, 96, L"exit code %lu", static_cast<unsigned long>(code));
    }
    wchar_t kind[64] = {};
    swprintf(kind, 64, L"child %lu ended", static_cast<unsigned long>(process ? GetProcessId(process) : 0));
    tavo::log::WriteLine(kind, text);
}

void LogChildEnded(const tavo::ChildOutcome& run) {
    if (!tavo::log::Active() || !run.started) return;
    wchar_t kind[64] = {}, text[96] = {};
    swprintf(kind, 64, L"child %lu ended", static_cast<unsigned long>(run.processId));
    if (run.timedOut) {
        swprintf(text, 96, L"ended after its time was up, exit code %lu",
                 static_cast<unsigned long>(run.exitCode));
    } else {
        swprintf(text, 96, L"exit code %lu", static_cast<unsigned long>(run.exitCode));
    }
    tavo::log::WriteLine(kind, text);
}

void LogSummary(DWORD exitCode) {
    if (!tavo::log::Active()) return;
    try {
        for (const OutcomeStep& step : OutcomeSteps()) {
            tavo::log::WriteLine(L"summary", step.title + L": " + Counts(step.counts));
        }
        tavo::log::WriteLine(L"summary", L"all steps: " + Counts(OutcomeTotals()));
        wchar_t text[96] = {};
        swprintf(text, 96, L"exit code %lu", static_cast<unsigned long>(exitCode));
        tavo::log::WriteLine(L"summary", text);
        const ULONGLONG elapsed = GetTickCount64() - tavo::log::OpenedAt();
        swprintf(text, 96, L"total time %llu.%03llu s", elapsed / 1000, elapsed % 1000);
        tavo::log::WriteLine(L"summary", text);
    } catch (...) {  // out of memory: the summary is cut short
    }
}
