#include "ui/search_clip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace slotsync::ui {
namespace {

// Reads the clip the way the animation control does: chunk by chunk, every
// size checked against what contains it.
class Reader {
 public:
  explicit Reader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}

  std::uint32_t U32(std::size_t at) const {
    EXPECT_LE(at + 4, bytes_.size());
    if (at + 4 > bytes_.size()) return 0;
    return static_cast<std::uint32_t>(bytes_[at]) |
           static_cast<std::uint32_t>(bytes_[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes_[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes_[at + 3]) << 24;
  }
  std::uint32_t U16(std::size_t at) const { return U32(at) & 0xFFFF; }
  std::string FourCc(std::size_t at) const {
    if (at + 4 > bytes_.size()) return {};
    return std::string(bytes_.begin() + static_cast<std::ptrdiff_t>(at),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(at + 4));
  }

 private:
  const std::vector<unsigned char>& bytes_;
};

struct Chunk {
  std::string id;
  std::size_t data;  // offset of the data (after the size; after the form type for LIST)
  std::uint32_t size;
};

// The chunks inside [begin, end), each one's padded size checked to fit.
std::vector<Chunk> Children(const Reader& r, std::size_t begin, std::size_t end) {
  std::vector<Chunk> chunks;
  std::size_t at = begin;
  while (at < end) {
    const std::uint32_t size = r.U32(at + 4);
    const std::size_t next = at + 8 + size + (size % 2);
    EXPECT_LE(next, end) << "chunk " << r.FourCc(at) << " overruns its container";
    if (next > end) break;
    chunks.push_back({r.FourCc(at), at + 8, size});
    at = next;
  }
  return chunks;
}

const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& id, const Reader& r,
                  const std::string& form = {}) {
  for (const Chunk& c : chunks) {
    if (c.id == id && (form.empty() || r.FourCc(c.data) == form)) return &c;
  }
  return nullptr;
}

TEST(SearchClip, IsAnUncompressedEightFrameAvi) {
  const std::vector<unsigned char> clip = MakeSearchClip();
  const Reader r(clip);
  ASSERT_GE(clip.size(), 12u);
  ASSERT_EQ("RIFF", r.FourCc(0));
  ASSERT_EQ(clip.size(), r.U32(4) + 8u);
  ASSERT_EQ("AVI ", r.FourCc(8));

  const auto top = Children(r, 12, clip.size());
  const Chunk* hdrl = Find(top, "LIST", r, "hdrl");
  const Chunk* movi = Find(top, "LIST", r, "movi");
  const Chunk* idx1 = Find(top, "idx1", r);
  ASSERT_NE(nullptr, hdrl);
  ASSERT_NE(nullptr, movi);
  ASSERT_NE(nullptr, idx1);

  const auto header = Children(r, hdrl->data + 4, hdrl->data + hdrl->size);
  const Chunk* avih = Find(header, "avih", r);
  ASSERT_NE(nullptr, avih);
  ASSERT_EQ(56u, avih->size);
  EXPECT_EQ(kSearchClipMicrosecondsPerFrame, r.U32(avih->data));
  EXPECT_EQ(static_cast<std::uint32_t>(kSearchClipFrames), r.U32(avih->data + 16));
  EXPECT_EQ(1u, r.U32(avih->data + 24));  // one stream
  EXPECT_EQ(48u, r.U32(avih->data + 32));
  EXPECT_EQ(48u, r.U32(avih->data + 36));

  const Chunk* strl = Find(header, "LIST", r, "strl");
  ASSERT_NE(nullptr, strl);
  const auto stream = Children(r, strl->data + 4, strl->data + strl->size);
  const Chunk* strh = Find(stream, "strh", r);
  const Chunk* strf = Find(stream, "strf", r);
  ASSERT_NE(nullptr, strh);
  ASSERT_NE(nullptr, strf);
  EXPECT_EQ("vids", r.FourCc(strh->data));
  EXPECT_EQ(static_cast<std::uint32_t>(kSearchClipFrames), r.U32(strh->data + 32));  // dwLength
  // BITMAPINFOHEADER: 48 x 48, 8 bits, BI_RGB, with its palette after it.
  EXPECT_EQ(40u, r.U32(strf->data));
  EXPECT_EQ(48u, r.U32(strf->data + 4));
  EXPECT_EQ(48u, r.U32(strf->data + 8));
  EXPECT_EQ(8u, r.U16(strf->data + 14));
  EXPECT_EQ(0u, r.U32(strf->data + 16));
  const std::uint32_t colours = r.U32(strf->data + 32);
  ASSERT_GT(colours, 0u);
  ASSERT_LE(colours, 256u);
  EXPECT_EQ(40u + 4 * colours, strf->size);

  // Frames: eight "00db" chunks of one whole 8-bit image each, all different,
  // each with the background key in its top-left pixel (the last DIB row).
  const auto frames = Children(r, movi->data + 4, movi->data + movi->size);
  ASSERT_EQ(static_cast<std::size_t>(kSearchClipFrames), frames.size());
  std::set<std::vector<unsigned char>> distinct;
  for (const Chunk& frame : frames) {
    EXPECT_EQ("00db", frame.id);
    ASSERT_EQ(48u * 48u, frame.size);
    const unsigned char* pixels = clip.data() + frame.data;
    const unsigned char topLeft = pixels[47 * 48];
    ASSERT_LT(topLeft, colours);
    const std::size_t entry = strf->data + 40 + 4u * topLeft;
    const std::uint32_t rgb = clip[entry + 2] << 16 | clip[entry + 1] << 8 | clip[entry];
    EXPECT_EQ(kSearchClipBackgroundRgb, rgb);
    for (std::size_t i = 0; i < frame.size; ++i) ASSERT_LT(pixels[i], colours);
    distinct.emplace(pixels, pixels + frame.size);
  }
  EXPECT_EQ(static_cast<std::size_t>(kSearchClipFrames), distinct.size());

  // The index points at each frame chunk, counted from the "movi" type.
  ASSERT_EQ(16u * frames.size(), idx1->size);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const std::size_t entry = idx1->data + 16 * i;
    EXPECT_EQ("00db", r.FourCc(entry));
    EXPECT_EQ(frames[i].data - 8, movi->data + r.U32(entry + 8)) << "frame " << i;
    EXPECT_EQ(frames[i].size, r.U32(entry + 12));
  }
}

}  // namespace
}  // namespace slotsync::ui
