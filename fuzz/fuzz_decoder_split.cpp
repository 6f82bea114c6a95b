/// @brief libFuzzer harness: one byte stream fed whole and fed cut into arrivals must have the same effects.
//
// Input: InitialState::StateBytes of state (see decoderrig.h), then one byte n (taken mod 16),
// then n arrival lengths (one byte each), then the stream. The split feeding gives the stream
// out in arrivals of those lengths, the remainder as a last arrival.
//
// checkArrivalsMatchWhole (decoderrig.h) says what must agree and why it stops at the first drop.

#include "decoderrig.h"

#include <algorithm>
#include <vector>

using namespace fuzzrig;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < InitialState::StateBytes + 1)
        return 0;
    const InitialState initial = InitialState::fromBytes(data);
    useLocale(initial.locale);

    std::size_t pos = InitialState::StateBytes;
    const std::size_t wanted = data[pos++] % 16;
    const std::size_t cuts = std::min(wanted, size - pos);
    std::vector<std::size_t> lengths(data + pos, data + pos + cuts);
    pos += cuts;
    checkArrivalsMatchWhole(initial, data + pos, size - pos, lengths);
    return 0;
}
