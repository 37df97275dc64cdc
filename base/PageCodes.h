#pragma once

// Every number a run shows outside itself: the codes the pages get back from
// the script methods, the status the pages set, and the failure stage of the
// error report. The pages and the report server read them, so a value is
// never renumbered or given a second meaning; a new one takes a new number.

// "download"(url, callback): the callback's code.
enum DownloadCode {
    DownloadOk = 0,
    DownloadFailed = 1,
    DownloadNotFound = 2,
    DownloadDiskFull = 3,
    DownloadTransferFailed = 4,
    DownloadNoNetwork = 5,
    DownloadAborted = 6,
};

// "extract"(callback): the callback's code.
enum ExtractCode {
    ExtractOk = 0,
    ExtractFailed = 1,
    ExtractDiskFull = 2,
    ExtractNoSetup = 3,
};

// "install"(parameters, callback): the callback's code.
enum InstallCode {
    InstallOk = 0,
    InstallFailed = 1,
    InstallNotSupported = 2,   // the script object has no product to install
    InstallSetupFailed = 3,    // exit code 1603, or setup did not start
    InstallAnotherRunning = 4, // exit code 1618; the page offers a retry
};

// "setInstallStatus"(status): the run's outcome as the page reports it.
enum InstallStatus {
    InstallStatusNotStarted = 0,
    InstallStatusCompleted = 1,
    InstallStatusError = 2,
    InstallStatusCanceled = 3,
    InstallStatusEnvironmentNotSupported = 4,
};

// The error report's stage: where the run failed; the failure code carries
// the code that came with it.
enum FailureStage {
    FailureStageNone = 0,
    FailureStageDownload = 1,
    FailureStageInstall = 2,
    FailureStageProgramNotFound = 3,
    FailureStageUnzip = 4,
    FailureStageSetupMissing = 5,
    FailureStageSetupNotStarted = 6,
};
