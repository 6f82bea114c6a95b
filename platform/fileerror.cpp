/// @brief classifyFileError: errno values sorted into the kinds a front end reports.
#include "platform/fileerror.h"

#include <cerrno>

FileFailure classifyFileError(int systemError)
{
    switch (systemError) {
    case 0:
        return FileFailure::None;
    case ENOSPC:
    case EFBIG:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return FileFailure::MediaFull;
    case ENOENT:
    case ENOTDIR:
        return FileFailure::NotFound;
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
        return FileFailure::BadName;
    default:
        return FileFailure::MassStorage;
    }
}
