#include "tests/support/CarveCheck.h"

using namespace testing_support;

namespace {

// A long animation from ffmpeg, a small one and a GIF87a still from ImageMagick, and the
// corpus sample.
const Samples& Gifs() {
  static const Samples made = [] {
    const std::string ff = "ffmpeg -v error -f lavfi -i testsrc=duration=10:size=240x180:rate=15";
    Samples files =
        MakeMedia("gif", {{"long.gif", ff + " -f gif"},
                          {"still87.gif", ff + " l.gif && convert 'l.gif[10]' GIF87:- >"},
                          {"small.gif",
                           "convert -delay 8 -size 200x150 gradient:red-blue gradient:blue-green"
                           " gradient:green-yellow gradient:yellow-red -loop 0"}});
    files.push_back({"GIF.gif", ReadFileBytes(TestData("corpus/format-samples/GIF.gif")), "gif"});
    return files;
  }();
  return made;
}

// Every GIF whole, sector-aligned and back to back, then at odd offsets (found only with
// Unaligned set); each cut short before random data or zeros; signatures planted in random
// data. With a small MaxSize every end comes from the end search instead.
TEST(GifModule, ScanRecoversEveryGif) {
  if (Gifs().size() != 4) GTEST_SKIP() << "ImageMagick or ffmpeg missing";
  Layout layout(5);
  layout.Random(3000).Spread(Gifs());
  for (const Sample& file : Gifs()) {
    const Bytes cut = Prefix(file.bytes, file.bytes.size() * 3 / 5);
    layout.Align().Cut("cut-random-" + file.name, cut, "gif", 14).Random(9000);
    layout.Align().Cut("cut-zeros-" + file.name, cut, "gif", 14).Zeros(5000).Slack();
  }
  layout.Planted({{'G', 'I', 'F', '8', '9', 'a'}, {'G', 'I', 'F', '8', '7', 'a'}}, 8);
  ExpectCarvedEitherWay("gif", layout.Packed(Gifs(), 51));
  Layout open(7);  // every end from the end search
  ExpectCarved("gif", open.Spread(Gifs()), false, 4);
}

}  // namespace
