/// @brief DataOptions: the four data-handling switches as one value, the snapshot the reply decoder works with.
#pragma once

/// Made by the options model from its switches (PanelOptions::dataOptions) and handed to the
/// decoder, which keeps a copy; the model hands over a new one on every change. Also what a run's
/// sidecar records.
struct DataOptions {
    bool display = true;
    bool verbose = false;
    bool file = false;
    bool raw = false;
    bool operator==(const DataOptions&) const = default;
};
