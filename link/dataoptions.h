/// @brief The four data-handling options as the decoder reads them, anew for every record.
#pragma once

struct DataOptions {
    bool display = true;
    bool verbose = false;
    bool file = false;
    bool raw = false;
};
