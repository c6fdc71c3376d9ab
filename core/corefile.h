#pragma once

#include <QString>

// The file the client executes as the core. Debian's v2ray carries a file capability, and
// when a user who is not root executes such a file the kernel clears the parent-death signal
// (the core would outlive a client that crashed) and makes the process non-dumpable (the
// client could not read the core's /proc/<pid>/fd to see whether it still carries
// connections). A copy of the file without the capability has neither effect.
namespace CoreFile {

// The file to execute in place of `corePath`, which may be a symlink. On Linux a copy
// ".<name>-run" beside it (run/.corvane-run for run/corvane), owner-only, with the core's
// modification time; it is written again whenever the core's size or modification time
// differ from the copy's, so an update of the installed core is picked up. Empty, with the
// reason in *error, when the core is missing or not executable or the copy cannot be
// written; an existing copy then stays as it was. Elsewhere `corePath` itself.
QString runnableCopy(const QString &corePath, QString *error);

// Removes from `runFolder` what an interrupted copy left behind: the temporary files
// ".<name>-run.XXXXXX" a copy is written to before it takes its name. The core, its copy,
// config.json and anything else stay. For start-up, while no copy is being written.
void removeStale(const QString &runFolder);

} // namespace CoreFile
