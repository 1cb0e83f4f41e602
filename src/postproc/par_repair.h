#pragma once
// Verification and repair with PAR2 and PAR (version 1) recovery sets, the second step of an
// automatic job.
//
// The recovery engine is the `par2` program, run as a child process in its own process group
// with its output read through a pipe. This layer gives the pipeline what it needs of the
// engine: the command-line reader's rules, progress and file names from the engine's output
// posted as ProgFile/ProgStatus/ProgPermille, repair within verification, the number of
// recovery blocks still needed, cancellation through CPostProcContext::m_cancel (the whole
// process group is killed), removal of the engine's backup copies after a successful repair,
// and the result codes. A child that crashes or prints nothing for too long ends the step with
// an internal error instead of hanging the worker.

#include <cstdint>
#include <string>
#include <vector>

#include "postproc/progress.h"

namespace quivern {

// Result codes of the engine (the exit codes of `par2`).
enum ParResult : int {
    ParSuccess = 0,
    ParRepairPossible = 1,
    ParRepairNotPossible = 2,
    ParInvalidArguments = 3,
    ParInsufficientCriticalData = 4,
    ParRepairFailed = 5,
    ParFileIoError = 6,
    ParLogicError = 7,
    ParMemoryError = 8,
};

enum class ParOperation { None, Create, Verify, Repair };

struct TParCommandLine {
    bool m_ok = false;
    ParOperation m_operation = ParOperation::None;
    int m_version = 0;                // 1 PAR, 2 PAR2
    std::string m_parFile;            // the recovery file as found (an extension may have been appended)
    int m_noiseLevel = 3;             // 0 silent, 1 quiet, 3 normal, 4 noisy
    std::uint64_t m_memoryLimit = 0;  // MiB; 0 is the engine's default
    std::vector<std::string> m_extraFiles;
};

// The command-line reader: operation from the program name (par2create, par2verify,
// par2repair) or else the first argument (c/create, v/verify, r/repair); options -q, -qq, -v,
// -m<MiB>; then the recovery file and any extra files. The version comes from the recovery
// file's extension: ".par2" in any case is PAR2, ".par" or "p" with two digits is PAR; any
// other name is tried with ".par2", ".PAR2", ".par" and ".PAR" appended, the first that exists
// winning. Reading fails when no recovery file exists.
TParCommandLine ReadParCommandLine(const std::vector<std::string>& args);

// How the engine program is run. Tests and tools point m_program elsewhere.
struct TParEngineSettings {
    std::string m_program = "par2";
    // A child that prints nothing for this long is taken as hung and killed.
    std::uint32_t m_stallTimeoutMs = 10u * 60u * 1000u;
};

class CParRepairer {
public:
    CParRepairer(int version, CPostProcContext& ctx, TParEngineSettings settings = {});

    // Loads the recovery files, verifies the data files and, when some are incomplete and the
    // recovery blocks suffice, repairs them and verifies the result, all in one call.
    int Process(const TParCommandLine& commandLine);

    int m_version;
    std::uint32_t m_message = WM_POSTPROC_PROGRESS;
    int m_noiseLevel = 3;
    // Recovery blocks still needed when repair is not possible (0 otherwise).
    std::uint32_t m_blocksNeeded = 0;
    // Data files the engine restored or mended (full paths), known after a successful repair.
    std::vector<std::string> m_repairedFiles;
    // Why Process failed without an engine result: empty, "crashed", "stalled", "cannot start".
    std::string m_failure;

private:
    CPostProcContext& m_ctx;
    TParEngineSettings m_settings;
};

// The step: verifies (and repairs) the set of `parPath`. An empty path clears
// m_autoDeleteCurrent and succeeds at once. Posts the outcome (ProgMessage or ProgNeedBlocks)
// and returns true only for a complete set that the user did not cancel. `repaired`, when
// given, receives the data files that a repair restored.
bool VerifyAndRepair(const std::string& parPath, CPostProcContext& ctx,
                     const TParEngineSettings& settings = {}, std::vector<std::string>* repaired = nullptr);

// The string-table message of an engine result (30038 for "repair not possible", which is
// posted as ProgNeedBlocks).
std::uint32_t ParResultMessage(int result);

}  // namespace quivern
