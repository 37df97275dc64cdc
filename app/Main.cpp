#include "app/CommandLine.h"
#include "app/QuietRun.h"
#include "app/RunSequence.h"

#include <windows.h>

// Program entry. "/quiet [/log PATH] [/norestart]" is the unattended run with
// the Windows Installer exit codes; any other command line is the window
// run, which exits with 0.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    ProgramSettings settings = DefaultProgramSettings();
#ifdef BC_TEST_SERVICE_PORT
    // The test build reports to a sink on this machine and fetches its licence
    // from the same place, at a port fixed when it was built.
    settings.service.host = L"127.0.0.1";
    settings.service.port = BC_TEST_SERVICE_PORT;
    settings.licenseServerUrl = L"http://127.0.0.1:" + std::to_wstring(BC_TEST_SERVICE_PORT);
#endif
    const CommandLine line = ParseCommandLine(ProcessArguments());
    if (line.quiet) {
        return RunQuietProgram(settings, line);
    }
    return RunProgram(settings);
}
