// What the fault sweep and the kill sweep share: the scenarios and the machines they start
// from, the bystanders every machine carries, the invariants of one run, and the golden machine
// a disturbed command followed by a clean recovery must end in.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "scenarios/scenario_support.h"

namespace qgrsweep {

// ---- scenarios -----------------------------------------------------------------------------

enum class Kind { Install, Uninstall, Query };

struct Scenario {
    const char* name;
    const char16_t* command;
    Kind kind;
    void (*prepare)();
    // Longest virtual time the command may wait, from its bounded waits.
    uint64_t maxWaitMs;
    // The command's purpose is to change the default printer.
    bool setsDefault;
    // A variant of a machine swept in full: only every n-th call (or kill point) is disturbed.
    int sampleEvery;
};

const std::vector<Scenario>& Scenarios();
extern const uint64_t kInstallMaxWaitMs;
extern const uint64_t kUninstallMaxWaitMs;

// The scenario's machine, bystanders included, with the call record emptied.
void SetUpScenario(const Scenario& scenario);

// One run of the installer as its own process (winsim::RunProcess): true when it ran to its
// end, with its exit code in *exitCode; false when it was killed. Either way the process has
// ended afterwards; `beforeEnd` sees a run that ran to its end before its exit releases what it
// left.
bool RunCommand(const char16_t* command, int* exitCode, const std::function<void()>& beforeEnd = {});

// ---- invariants of one run -----------------------------------------------------------------

struct Tally {
    int runs = 0;
    int points = 0;  // faulted calls or kill points
    int violations = 0;
};

// One violation line: "violation: <scenario>, <point>: <what>".
void Violation(Tally& tally, const char* scenario, const std::string& point, const std::string& what);

// What a run started from: bystanders, open handles, the product's printers with their
// settings, the virtual clock.
struct RunStart {
    std::map<std::string, std::string> bystanders;
    std::string handles;
    std::vector<std::u16string> productPrinters;
    std::map<std::u16string, std::string> productSettings;
    uint64_t time = 0;
    bool trayExecutable = false;
};
RunStart ReadStart();

// Open handles of every kind and live heap blocks, as text ("" when none differs from `start`).
std::string HandlesText();
std::string LeftOverBlocks();

// Every invariant of one finished run; `kind` decides what an honest exit code means. Time is
// the virtual clock since `start`, waits on objects included. A query's "yes" must be true; in
// an undisturbed run ("clean run") every answer must be.
// `allowAutostart`: a fault the installer keeps silent may have left the autostart value.
void CheckRun(Tally& tally, const Scenario& scenario, Kind kind, int exitCode, const RunStart& start,
              uint64_t maxWaitMs, bool allowAutostart, const std::string& point, const char* phase);

// ---- the golden machine ----------------------------------------------------------------------

// Everything a user, another maker or another program would miss: object -> field -> value.
using Machine = std::map<std::string, std::map<std::string, std::string>>;
Machine ReadMachine();
// "<object> missing", "<object> unexpected", "<object> <field> '<actual>' != '<golden>'". With
// `undone` (the machine had the command never run, then the recovery), each object and field
// may equal either: a recovery by another command does not redo what the disturbed command was
// for (an uninstall's removals, def.set's default), but everything must be in one of the states.
std::vector<std::string> Differences(const Machine& actual, const Machine& golden, const Machine* undone = nullptr);
// The differences joined for one violation line.
std::string JoinDifferences(const std::vector<std::string>& differences);

// The machine after `command` (null: none) undisturbed from the scenario's start, then a clean
// `recovery`.
Machine GoldenMachine(const Scenario& scenario, const char16_t* command, const char16_t* recovery);

}  // namespace qgrsweep
