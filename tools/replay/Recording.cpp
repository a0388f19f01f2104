// The recording's reader: every number checked against what the writer can produce, so that a
// cut or damaged file is refused with its offset rather than replayed as something else.
#include "Recording.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>

namespace qor::replay {

namespace {

constexpr char kMagic[] = "QOREVT1\n";
constexpr std::uint64_t kMaxThreads = 4096;                 // as the writer numbers them
constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 48; // beyond any address space

class Reader {
public:
    explicit Reader(const MappedVector<unsigned char>& data) : data_(data) {}
    bool AtEnd() const { return at_ == data_.size(); }
    std::size_t Offset() const { return at_; }
    // The next varint; false when the file ends inside it or it runs past 64 bits.
    bool Next(std::uint64_t& value) {
        value = 0;
        for (unsigned shift = 0; shift < 64 && at_ < data_.size(); shift += 7) {
            const unsigned char byte = data_[at_++];
            value |= std::uint64_t(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) return shift < 63 || byte <= 1;
        }
        return false;
    }

private:
    const MappedVector<unsigned char>& data_;
    std::size_t at_ = sizeof kMagic - 1;
};

struct Decoder {
    Recording& out;
    MappedVector<std::uint64_t> sizes;    // by block
    MappedVector<std::uint16_t> owner;    // the allocating thread, by block
    MappedVector<unsigned char> released; // by block
    std::uint64_t thread = 0, pool = 0;
    bool sawPool = false;

    std::string Allocate(std::uint64_t bytes) {
        if (bytes > kMaxBytes) return "an allocation of more bytes than any address space holds";
        out.threads[thread].push_back({bytes, out.allocations++});
        sizes.push_back(bytes);
        owner.push_back(static_cast<std::uint16_t>(thread));
        released.push_back(0);
        out.liveBytes += bytes;
        if (out.liveBytes > out.peakBytes) out.peakBytes = out.liveBytes;
        return "";
    }
    std::string Release(std::uint64_t back) {
        if (back == 0 || back > out.allocations) return "a release of a block never allocated";
        const std::uint64_t block = out.allocations - back;
        if (released[block]) return "a second release of one block";
        released[block] = 1;
        ++out.releases;
        out.liveBytes -= sizes[block];
        out.crossThreadReleases += owner[block] != thread;
        out.threads[thread].push_back({sizes[block], block | Event::kRelease});
        return "";
    }
    std::string SwitchThread(std::uint64_t number) {
        if (number > kMaxThreads) return "a thread number past the writer's largest";
        thread = number - 1;
        if (out.threads.size() <= thread) out.threads.resize(thread + 1);
        return "";
    }
    // The end mark's counts are the writer's, modulo 2^32.
    std::string End(Reader& reader) {
        std::uint64_t allocations = 0, releases = 0;
        if (!reader.Next(allocations) || !reader.Next(releases)) return "a cut end mark";
        if (allocations != (out.allocations & 0xFFFFFFFF) ||
            releases != (out.releases & 0xFFFFFFFF))
            return "counts at the end that differ from the events before it";
        return reader.AtEnd() ? "" : "bytes after the end mark";
    }
    std::string Step(Reader& reader, std::uint64_t word, bool& ended) {
        const std::uint64_t value = word >> 2;
        if ((word & 3) == 3) {
            if (value != 0) return SwitchThread(value);
            ended = true;
            return End(reader);
        }
        if (out.threads.empty()) return "an event before any thread is named";
        if ((word & 3) == 2) return Release(value);
        if ((word & 3) == 1 && !reader.Next(pool)) return "a cut pool number";
        if ((word & 3) == 0 && !sawPool) return "an allocation from a pool never named";
        sawPool = true;
        return Allocate(value);
    }
};

// One thread's slots renumbered so that a released block's slot serves the next allocation.
void ReuseSlots(Recording& recording) {
    MappedVector<std::uint32_t> slotOf(recording.allocations); // by block
    MappedVector<std::uint32_t> vacant;
    std::uint32_t slots = 0;
    for (MappedVector<Event>& events : recording.threads)
        for (Event& event : events) {
            if (event.block & Event::kRelease) {
                const std::uint32_t slot = slotOf[event.block & ~Event::kRelease];
                vacant.push_back(slot);
                event.block = slot | Event::kRelease;
                continue;
            }
            std::uint32_t slot = slots;
            if (vacant.empty()) {
                ++slots;
            } else {
                slot = vacant.back();
                vacant.pop_back();
            }
            slotOf[event.block] = slot;
            event.block = slot;
        }
    recording.slots = slots;
}

} // namespace

std::string ReadRecording(const std::string& path, Recording& recording) {
    // Read whole, at its size: a directory or a device has none and is refused.
    std::error_code error;
    const std::uintmax_t length = std::filesystem::file_size(path, error);
    std::ifstream file(path, std::ios::binary);
    if (error || !file) return path + ": cannot be read";
    MappedVector<unsigned char> data(static_cast<std::size_t>(length));
    if (!file.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size())))
        return path + ": cannot be read";
    if (data.size() < sizeof kMagic - 1 ||
        !std::equal(kMagic, kMagic + sizeof kMagic - 1, data.begin()))
        return path + ": not a recording of QORSysTracer (QORSysTracerRecord=1 writes one)";
    recording = {};
    Decoder decoder{recording, {}, {}, {}};
    Reader reader(data);
    for (bool ended = false; !ended;) {
        const std::size_t at = reader.Offset();
        std::uint64_t word = 0;
        std::string refused;
        if (reader.AtEnd())
            refused = "no end mark: the file is cut short (or the program stopped before its "
                      "exit)";
        else if (!reader.Next(word))
            refused = "a number cut short or longer than 64 bits";
        else
            refused = decoder.Step(reader, word, ended);
        if (!refused.empty()) return path + ": offset " + std::to_string(at) + ": " + refused;
    }
    recording.liveBlocks = recording.allocations - recording.releases;
    recording.slots = recording.allocations;
    const auto busy =
        std::count_if(recording.threads.begin(), recording.threads.end(),
                      [](const MappedVector<Event>& events) { return !events.empty(); });
    if (busy == 1 && recording.allocations <= UINT32_MAX) ReuseSlots(recording);
    return "";
}

} // namespace qor::replay
