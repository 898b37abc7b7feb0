#pragma once
// The exit codes of setup.exe and UnInstall.exe: the same whether a window
// was shown or not. Deployment tools and package managers read them, so a
// code never changes its meaning; new ones are added at the end.

enum SetupExitCode {
    kSetupOk = 0,
    // An unknown switch or a malformed one.
    kSetupBadCommandLine = 2,
    // The log named by /LOG cannot be written.
    kSetupLogUnwritable = 3,
    // The setup list (or the release's manifest) was not fetched.
    kSetupListFailed = 4,
    // A package was not fetched.
    kSetupDownloadFailed = 5,
    // A package was fetched but did not unpack.
    kSetupUnpackFailed = 6,
    // Not enough room on the drive, or a write failed for want of it.
    kSetupDiskFull = 7,
    // The release's signature, or a file's size or hash, was refused.
    kSetupReleaseRefused = 8,
    // Another installer or an uninstaller is running.
    kSetupOtherInstance = 9,
    // The client is running and was not closed.
    kSetupClientRunning = 10,
    // A proxy asked for credentials that were not given (or were refused).
    kSetupProxyAuth = 11,
    // The user stopped the installation.
    kSetupStopped = 12,
    // Any other failure: a folder that cannot be made or held, the
    // uninstaller not fetched, a write that failed, an unfinished update
    // that could not be settled.
    kSetupFailed = 13,
};

enum UninstallExitCode {
    kUninstallOk = 0,
    // Nothing registered, or the folder named is not the registered
    // installation.
    kUninstallRefused = 1,
    // The user said no.
    kUninstallCancelled = 2,
    // The client is running.
    kUninstallClientRunning = 3,
    // Something could not be removed; the entry stays, so it can be run
    // again.
    kUninstallIncomplete = 4,
    // An installer or another uninstaller is running.
    kUninstallOtherInstance = 5,
    // An unknown switch or a malformed one.
    kUninstallBadCommandLine = 6,
};
