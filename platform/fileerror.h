/// @brief What kind of failure a file operation met, as a front end can act on it, from the system's error number.
#pragma once

#include <QMetaType>

/// A script told "media full" can free space or switch disks; "not found" and "bad name" are
/// the folder text's fault; everything else is the storage's (no access, read-only, I/O error,
/// or a link planted where a file of ours was to be).
enum class FileFailure { None, MediaFull, MassStorage, NotFound, BadName };

/// The kind of `systemError` (an errno value; 0 is None).
FileFailure classifyFileError(int systemError);

Q_DECLARE_METATYPE(FileFailure)
