#include <gtest/gtest.h>

#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

// A long animation from ffmpeg, a small one and a GIF87a still from ImageMagick, and the
// corpus sample.
const Samples& Gifs() {
  static const Samples made = [] {
    Samples files = MakeMedia(
        "gif", {{"long.gif",
                 "ffmpeg -v error -f lavfi -i testsrc=duration=10:size=240x180:rate=15 -f gif"},
                {"still87.gif",
                 "ffmpeg -v error -f lavfi -i testsrc=duration=10:size=240x180:rate=15 l.gif"
                 " && convert 'l.gif[10]' GIF87:- >"},
                {"small.gif",
                 "convert -delay 8 -size 200x150 gradient:red-blue gradient:blue-green"
                 " gradient:green-yellow gradient:yellow-red -loop 0"}});
    files.push_back({"GIF.gif", ReadFileBytes(TestData("corpus/format-samples/GIF.gif")), "gif"});
    return files;
  }();
  return made;
}

bool Ready() {
  return Gifs().size() == 4;
}

// Every GIF whole, sector-aligned and back to back; each cut short before random data or
// zeros; signatures planted in random data.
TEST(GifModule, ScanRecoversEveryGif) {
  if (!Ready()) GTEST_SKIP() << "ImageMagick or ffmpeg missing";
  Layout layout(5);
  layout.Random(3000).Spread(Gifs());
  for (const Sample& file : Gifs()) {
    const Bytes cut = Prefix(file.bytes, file.bytes.size() * 3 / 5);
    layout.Align().Cut("cut-random-" + file.name, cut, "gif", 14).Random(9000);
    layout.Align().Cut("cut-zeros-" + file.name, cut, "gif", 14).Zeros(5000).Slack();
  }
  layout.Planted({{'G', 'I', 'F', '8', '9', 'a'}, {'G', 'I', 'F', '8', '7', 'a'}}, 8);
  ExpectCarved("gif", layout);
  Layout open(7);  // every end from the end search
  ExpectCarved("gif", open.Spread(Gifs()), {false, 4});
}

// At odd offsets, found only with Unaligned set.
TEST(GifModule, UnalignedStarts) {
  if (!Ready()) GTEST_SKIP() << "ImageMagick or ffmpeg missing";
  Layout layout(6);
  layout.Random(300).Packed(Gifs(), 51);
  ExpectCarved("gif", layout, {true});
  ExpectCarved("gif", layout, {false});
}

}  // namespace
