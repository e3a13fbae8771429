// Writes the binary property-list samples in tests/data/binary (fuzzing seeds and
// examples for `applib dump`). Run by hand after changing it, and commit its output:
//   cmake --build --preset host --target make_plist_samples
//   build/host/tools/make_plist_samples tests/data/binary
#include "tests/bplist_writer.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace {

using namespace BplistTest;

// The catalogue of tests/data/xml/applib.plist, with shared key strings.
Bytes Catalogue()
{
    Writer w;
    w.Add(Array({1, 2}));
    w.Add(Dict({3, 4, 5}, {6, 7, 8}));
    w.Add(Dict({3, 4, 5}, {9, 10, 11}));
    w.Add(Ascii("name"));
    w.Add(Ascii("icon"));
    w.Add(Ascii("applications"));
    w.Add(Ascii("\xE5\xB8\xB8\xE7\x94\xA8\xE8\xBD\xAF\xE4\xBB\xB6"));  // UTF-8 bytes, as stored
    w.Add(Ascii("http://example.com/AppLib/GroupIcons/common.png"));
    w.Add(Array({12, 13}));
    w.Add(Ascii("\xE7\xBD\x91\xE7\xBB\x9C\xE5\xB7\xA5\xE5\x85\xB7"));
    w.Add(Ascii("net.png"));
    w.Add(Array({}));
    w.Add(Dict({3, 14, 4, 15}, {16, 17, 18, 19}));
    w.Add(Dict({3, 14, 4}, {20, 21, 22}));
    w.Add(Ascii("url"));
    w.Add(Ascii("install"));
    w.Add(Ascii("Archiver 9"));
    w.Add(Ascii("http://example.com/soft/archiver9.exe"));
    w.Add(Ascii("archiver.png"));
    w.Add(Ascii("archiver9.exe /S"));
    w.Add(Ascii("Text & Code Editor"));
    w.Add(Ascii("http://example.com/soft/editor.exe"));
    w.Add(Ascii("http://example.com/AppLib/AppIcons/editor.png"));
    Layout layout;
    layout.offsetIntSize = 2;  // the objects run past byte 255
    return w.Build(layout);
}

// One of every kind, with 2-byte references and 4-byte offsets.
Bytes Kinds()
{
    Writer w;
    w.Add(Array({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, 2));
    w.Add(IntOfWidth(0xFF, 0));
    w.Add(Int(-1));
    w.Add(Marker(0x1, 4) + BigEndian(0, 8) + BigEndian(42, 8));
    w.Add(Real64(-2.5e3));
    w.Add(Real32(0.5f));
    w.Add(Date(415182550.0));
    w.Add(Bool(true));
    w.Add(Bool(false));
    w.Add(Marker(0x5, 0));
    w.Add(Ascii("a string long enough for a count extension"));
    w.Add(Data("\x01\x02\x03"));
    w.Add(Dict({14}, {15}, 2));
    w.Add(Dict({}, {}, 2));
    w.Add(Ascii("key"));
    w.Add(Array({16, 16}, 2));
    w.Add(Ascii("shared"));
    Layout layout;
    layout.offsetIntSize = 4;
    layout.objectRefSize = 2;
    layout.topObject = 3;  // ignored: decoding starts at object 0
    return w.Build(layout);
}

// Refused: an array that holds itself.
Bytes Cycle()
{
    Writer w;
    w.Add(Array({1}));
    w.Add(Array({0}));
    return w.Build();
}

bool WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file << bytes;
    return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_plist_samples FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const bool written = WriteFile(folder + "/catalogue.bplist", Catalogue()) &&
                         WriteFile(folder + "/kinds.bplist", Kinds()) &&
                         WriteFile(folder + "/cycle.bplist", Cycle());
    if (!written) {
        std::fprintf(stderr, "make_plist_samples: cannot write to %s\n", argv[1]);
        return 1;
    }
    return 0;
}
