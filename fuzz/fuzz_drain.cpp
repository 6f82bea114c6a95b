/// @brief libFuzzer harness: a peer floods a bounded read buffer, drain passes hand the decoder arrivals of any size,
/// and it must see one stream.
//
// The receive side between the peer and the decoder: the peer writes as fast as it likes, the
// read buffer holds at most its capacity (TCP holds the rest back at the peer), and each pass of
// the event loop drains at most the largest arrival into one feed. Which arrivals that makes
// depends on timing the decoder cannot see; whatever they are, the decoder must decode them as
// the one stream they are (checkArrivalsMatchWhole in decoderrig.h), and never hold more than
// one unfinished reply between them.
//
// Input: InitialState::StateBytes of state (see decoderrig.h), then
//   a byte: low nibble the buffer's capacity, high nibble the largest arrival (tables below);
//   a byte: low nibble r, the stream is the body sent r + 1 times over (a flood); high nibble n,
//   then n schedule bytes, then the body.
// The schedule is played round and round until the peer has sent everything and the buffer is
// empty; without one, every pass lands what fits and drains once. A schedule byte below 0x80
// lands the peer's next (byte + 1) * 4 bytes or what fits; below 0xC0 runs one drain pass; the
// rest drain the buffer empty, pass after pass. A pass on an empty buffer hands on nothing, as
// the socket emits no empty arrival.

#include "decoderrig.h"

#include <vector>

using namespace fuzzrig;

namespace {

constexpr std::array<std::size_t, 16> Capacities{1, 2, 3, 7, 8, 15, 16, 17, 31, 64, 100, 255, 1024, 4096, 16384, 65536};
constexpr std::array<std::size_t, 16> LargestArrivals{1,  2,  3,  6,   7,    8,    15,    16,
                                                      17, 23, 64, 255, 1024, 4096, 16384, 65536};

/// The read buffer as offsets into the stream: it holds stream[drained, landed).
struct Pipe {
    std::size_t streamSize = 0;
    std::size_t capacity = 0;
    std::size_t largest = 0;
    std::size_t landed = 0;
    std::size_t drained = 0;
    std::vector<std::size_t> arrivals;

    void land(std::size_t wanted)
    {
        const std::size_t room = capacity - (landed - drained);
        landed += std::min({wanted, room, streamSize - landed});
    }
    /// False when the buffer was empty.
    bool pass()
    {
        const std::size_t n = std::min(landed - drained, largest);
        if (n == 0)
            return false;
        drained += n;
        arrivals.push_back(n);
        return true;
    }
    bool done() const { return drained == streamSize; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < InitialState::StateBytes + 2)
        return 0;
    const InitialState initial = InitialState::fromBytes(data);
    useLocale(initial.locale);

    std::size_t pos = InitialState::StateBytes;
    Pipe pipe;
    pipe.capacity = Capacities[data[pos] & 15];
    pipe.largest = LargestArrivals[data[pos] >> 4];
    ++pos;
    const std::size_t copies = std::size_t(data[pos] & 15) + 1;
    const std::size_t scheduleSize = std::min<std::size_t>(data[pos] >> 4, size - pos - 1);
    ++pos;
    const uint8_t* schedule = data + pos;
    pos += scheduleSize;

    std::vector<uint8_t> stream;
    stream.reserve((size - pos) * copies);
    for (std::size_t c = 0; c < copies; ++c)
        stream.insert(stream.end(), data + pos, data + size);
    pipe.streamSize = stream.size();

    // Every round either lands or drains at least one byte unless the schedule only does what
    // cannot move anything (lands into a full buffer, drains an empty one); then a default round
    // runs, so the loop ends after at most two rounds per stream byte.
    while (!pipe.done()) {
        const std::size_t before = pipe.landed + pipe.drained;
        for (std::size_t i = 0; i < scheduleSize; ++i) {
            const uint8_t op = schedule[i];
            if (op < 0x80)
                pipe.land((std::size_t(op) + 1) * 4);
            else if (op < 0xC0)
                pipe.pass();
            else
                while (pipe.pass()) {
                }
        }
        if (pipe.landed + pipe.drained == before) {
            pipe.land(pipe.capacity);
            pipe.pass();
        }
    }
    checkArrivalsMatchWhole(initial, stream.data(), stream.size(), pipe.arrivals);
    return 0;
}
