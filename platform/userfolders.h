/// @brief Per-user folders the platform keeps private to the user, for locks and other runtime files.
#pragma once

#include <QString>

namespace userfolders {

/// A folder only this user writes, made if needed; empty when the platform gives none.
/// Linux: $XDG_RUNTIME_DIR. Windows: %LOCALAPPDATA%\Quorvel\Tallyscope (the shared temporary
/// folder would let one user's lock refuse another user's program).
QString privateRuntimeFolder();

} // namespace userfolders
