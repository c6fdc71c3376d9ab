#pragma once

#include <QString>

class QFileDevice;

// What holds the user's secrets (the account password in the web profile's cookies, the
// upstream passwords in the core's configuration) is for the user alone, whatever the umask
// and however it was created before. The process's umask is never touched: it is shared by
// every thread, the web engine's included.
namespace OwnerOnly {

// Creates the folder (parents as usual) or narrows an existing one to 0700. False, and
// logged, where that failed.
bool folder(const QString &path);

// Narrows an open file (a QSaveFile's new file too) to 0600.
bool file(QFileDevice &file);

} // namespace OwnerOnly
