#include "engine/ordered.h"

#include "engine/fast_scan.h"
#include "engine/fast_search.h"
#include "engine/helper_threads.h"
#include "engine/nearest.h"
#include "settings/carried_state.h"
#include "settings/scan_state.h"
#include "settings/settings.h"
#include "settings/tuning.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

double palette_spread()
{
    const int channels = channels_used;
    float widest = 0.0f;
    for (int k = 0; k < palette_entries; ++k) {
        // Copies of the colour itself are passed over.
        float closest = INFINITY;
        for (int j = 0; j < palette_entries; ++j) {
            float distance = 0.0f;
            for (int c = 0; c < channels; ++c)
                distance = std::max(distance, std::fabs(pal_ch[c][k] - pal_ch[c][j]));
            if (distance > 0.0f)
                closest = std::min(closest, distance);
        }
        if (closest < INFINITY)
            widest = std::max(widest, closest);
    }
    return widest;
}

std::vector<float> cell_offsets(const threshold_pattern &pattern, double spread)
{
    const int cells = pattern.side * pattern.side;
    std::vector<float> offsets(static_cast<size_t>(cells));
    for (int i = 0; i < cells; ++i) {
        const double threshold = (pattern.ranks[i] + 0.5) / cells - 0.5;
        offsets[static_cast<size_t>(i)] = static_cast<float>(threshold * spread * coefficient);
    }
    return offsets;
}

namespace {

// The values the search sees for a pixel: its own moved by its cell's
// offset, in the used channels. The plain and the fast scan both form them
// here, so both search the very same floats.
inline void moved_values(const float *v, float offset, int channels, float *values)
{
    for (int c = 0; c < channels; ++c)
        values[c] = v[c] + offset;
}

// The offsets of the pattern's row that image row y lies on.
inline const float *offset_row(const std::vector<float> &offsets, int side, int y)
{
    return offsets.data() + static_cast<size_t>((y - 1) % side) * side;
}

bool plain_ordered_scan(const working_image &image, png_writer_t *writer, const std::vector<float> &offsets,
                        int side, const row_gate *gate)
{
    if (gate && !gate->wait_for(image.height))
        return false;
    const int channels = channels_used;
    // The searches read twelve values; the unused ones are the zeros of the
    // unused planes.
    float values[max_working_channels] = {};
    for (int y = 1; y <= image.height; ++y) {
        const float *offset = offset_row(offsets, side, y);
        const uint8_t *clear = image.clear_row(y);
        for (int x = 1; x <= image.width; ++x) {
            // A clear pixel takes the transparent entry and is not searched.
            int color = transparent_entry;
            if (!clear || !clear[x]) {
                moved_values(image.at(x, y), offset[(x - 1) % side], channels, values);
                color = find_nearest_color(values);
            }
            png_writer_set_pixel(writer, static_cast<uint32_t>(x - 1), static_cast<uint32_t>(y - 1),
                                 static_cast<uint32_t>(color));
        }
    }
    return true;
}

// The rows of an ordered scan on every core: each thread takes the next row
// not yet taken until none is left, so a thread that cannot be had leaves its
// rows to the others.
class ordered_rows {
public:
    ordered_rows(const working_image &image, png_writer_t *writer, const nearest_color_finder &finder,
                 const std::vector<float> &offsets, int side, const row_gate *gate)
        : image_(image), writer_(writer), finder_(finder), offsets_(offsets), side_(side), gate_(gate),
          channels_(channels_used), transparent_(static_cast<uint8_t>(transparent_entry)), leading_(image.height + 1),
          last_(image.height + 1), found_(image.height + 1), last_searched_(image.height + 1)
    {
    }

    // False when the gate failed.
    bool run(int threads)
    {
        helper_threads helpers;
        helpers.start(threads - 1, [this](int) { map_rows(); });
        map_rows();
        helpers.join();
        if (stopped_.load())
            return false;
        settle();
        return true;
    }

private:
    void map_rows()
    {
        for (int y; (y = next_row_.fetch_add(1)) <= image_.height;) {
            if (gate_ && !gate_->wait_for(y)) {
                stopped_.store(true);
                return;
            }
            map_row(y);
        }
    }

    // A pixel where no entry wins keeps the entry of the pixel before it in
    // scan order. Those at the start of a row wait for the rows above to be
    // settled; the row notes how many they are.
    void map_row(int y)
    {
        uint8_t *indices = png_writer_row_bytes(writer_, static_cast<uint32_t>(y - 1));
        const float *offset = offset_row(offsets_, side_, y);
        const uint8_t *clear = image_.clear_row(y);
        float values[max_working_channels] = {};
        int carried = -1, leading = 0, cell = 0, last_searched = 0;
        bool found = false;
        for (int x = 1; x <= image_.width; ++x) {
            const float cell_offset = offset[cell];
            if (++cell == side_)
                cell = 0;
            // A clear pixel takes the transparent entry, is not searched and
            // carries nothing.
            if (clear && clear[x]) {
                indices[x - 1] = transparent_;
                continue;
            }
            moved_values(image_.at(x, y), cell_offset, channels_, values);
            last_searched = x;
            const int entry = finder_.find(values);
            found = entry >= 0;
            if (found) {
                carried = entry;
            } else if (carried < 0) {
                leading = x;
                continue;
            }
            indices[x - 1] = static_cast<uint8_t>(carried);
        }
        leading_[y] = leading;
        last_[y] = carried;
        found_[y] = found;
        last_searched_[y] = last_searched;
    }

    // Gives the pixels at the start of each row that found no entry the entry
    // carried from the rows above (the clear ones among them keep theirs),
    // and leaves the search state of the last pixel searched.
    void settle()
    {
        int carried = best_color, last_row = 0;
        for (int y = 1; y <= image_.height; ++y) {
            uint8_t *indices = png_writer_row_bytes(writer_, static_cast<uint32_t>(y - 1));
            const uint8_t *clear = image_.clear_row(y);
            for (int x = 1; x <= leading_[y]; ++x)
                if (!clear || !clear[x])
                    indices[x - 1] = static_cast<uint8_t>(carried);
            if (last_[y] >= 0)
                carried = last_[y];
            if (last_searched_[y] > 0)
                last_row = y;
        }
        if (last_row == 0)
            return;
        float values[max_working_channels] = {};
        const int x = last_searched_[last_row];
        moved_values(image_.at(x, last_row), offset_row(offsets_, side_, last_row)[(x - 1) % side_], channels_,
                     values);
        leave_fast_search_state(finder_, values, carried, found_[last_row] != 0);
    }

    const working_image &image_;
    png_writer_t *writer_;
    const nearest_color_finder &finder_;
    const std::vector<float> &offsets_;
    const int side_;
    const row_gate *gate_;
    const int channels_;
    std::atomic<int> next_row_{ 1 };
    std::atomic<bool> stopped_{ false };
    const uint8_t transparent_;
    std::vector<int> leading_;  // the pixels up to this column that found no entry wait for the rows above
    std::vector<int> last_;
    std::vector<char> found_;
    std::vector<int> last_searched_;  // the column of the row's last pixel searched, 0 for none
};

}  // namespace

bool ordered_scan(const working_image &image, png_writer_t *writer, const threshold_pattern &pattern,
                  const row_gate *gate)
{
    // No error flows and no row depends on another: the scan direction and
    // the limits play no part.
    direction = 1;
    const std::vector<float> offsets = cell_offsets(pattern, palette_spread());
    if (use_plain_paths)
        return plain_ordered_scan(image, writer, offsets, pattern.side, gate);
    const nearest_color_finder finder(quant_weighting_coefficients, quant_error_finding_algorithm);
    return ordered_rows(image, writer, finder, offsets, pattern.side, gate).run(scan_threads(image));
}
