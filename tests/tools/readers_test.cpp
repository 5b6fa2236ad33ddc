// The particle file readers: every format and variant, chunked streaming, error messages (the fuzz
// targets feed them damaged input).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "readers/particle_reader.h"

using namespace taluna::readers;
namespace fs = std::filesystem;

namespace {

struct Bytes {
    std::string data;
    bool big = false;
    template <typename T>
    Bytes& put(T value) {
        char b[sizeof(T)];
        std::memcpy(b, &value, sizeof(T));
        if (big != (std::endian::native == std::endian::big)) std::reverse(b, b + sizeof(T));
        data.append(b, sizeof(T));
        return *this;
    }
};

struct Particle {
    TLV3 p;
    TLUChar4 c;
    TLV3 v;
};

class Readers : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "taluna_readers_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& content) {
        std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    // Reads the whole file in chunks of `chunk`, checking the chunk invariants on the way.
    ParticleChunk readAll(const std::string& path, size_t chunk = 1000, const std::string& format = "auto") {
        std::string error;
        auto reader = openParticleFile(path, format, &error);
        ParticleChunk all, part;
        EXPECT_TRUE(reader) << error;
        if (!reader) return all;
        while (reader->next(chunk, part, &error) && !part.positions.empty()) {
            EXPECT_LE(part.positions.size(), chunk);
            EXPECT_EQ(part.colors.size(), reader->hasColors() ? part.positions.size() : 0u);
            EXPECT_EQ(part.velocities.size(), reader->hasVelocities() ? part.positions.size() : 0u);
            all.positions.insert(all.positions.end(), part.positions.begin(), part.positions.end());
            all.colors.insert(all.colors.end(), part.colors.begin(), part.colors.end());
            all.velocities.insert(all.velocities.end(), part.velocities.begin(), part.velocities.end());
        }
        EXPECT_TRUE(part.positions.empty()) << error;
        EXPECT_EQ(all.positions.size(), reader->count());
        return all;
    }

    // The message of a file that fails to open or to read.
    std::string failure(const std::string& path, const std::string& format = "auto") {
        std::string error;
        auto reader = openParticleFile(path, format, &error);
        if (!reader) return error;
        ParticleChunk part;
        while (reader->next(3, part, &error))
            if (part.positions.empty()) return "no failure";
        return error;
    }

    fs::path dir_;
};

void expectV3(const TLV3& a, float x, float y, float z) {
    EXPECT_EQ(a.x, x);
    EXPECT_EQ(a.y, y);
    EXPECT_EQ(a.z, z);
}

void expectC4(const TLUChar4& a, int r, int g, int b, int alpha) {
    EXPECT_EQ(int(a.x), r);
    EXPECT_EQ(int(a.y), g);
    EXPECT_EQ(int(a.z), b);
    EXPECT_EQ(int(a.w), alpha);
}

const char* kPlyAscii =
    "ply\nformat ascii 1.0\ncomment made by hand\nobj_info test\n"
    "element face 2\nproperty list uchar int vertex_indices\n"
    "element vertex 2\nproperty float x\nproperty float y\nproperty float z\nproperty list uchar float extra\n"
    "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n"
    "property double vx\nproperty double vy\nproperty double vz\n"
    "element edge 1\nproperty int a\nend_header\n"
    "3 0 1 2\n4 0 1 2 3\n"
    "1.5 -2 3e2 2 9 9 255 0 10 128 0.25 0.5 -1\n\n"
    "+4 5 6 0 1 2 3 4 0 0 0\n"
    "7 8\n";

TEST_F(Readers, PlyAsciiSkipsOtherElementsAndProperties) {
    ParticleChunk all = readAll(write("a.ply", kPlyAscii));
    ASSERT_EQ(all.positions.size(), 2u);
    expectV3(all.positions[0], 1.5f, -2, 300);
    expectV3(all.positions[1], 4, 5, 6);
    expectC4(all.colors[0], 255, 0, 10, 128);
    expectC4(all.colors[1], 1, 2, 3, 4);
    expectV3(all.velocities[0], 0.25f, 0.5f, -1);
}

TEST_F(Readers, PlyBinaryBothByteOrdersWithMixedTypes) {
    for (bool big : {false, true}) {
        const std::string order = big ? "binary_big_endian" : "binary_little_endian";
        // Fixed-size vertices: float colours, no alpha, no velocity, skipped properties between the used ones.
        std::string header = "ply\nformat " + order + " 1.0\nelement vertex 2\nproperty float32 x\n"
            "property ushort skip1\nproperty int y\nproperty float64 z\nproperty float red\nproperty double green\n"
            "property float blue\nproperty int8 skip2\nend_header\n";
        Bytes b{header, big};
        b.put(1.25f).put<uint16_t>(7).put<int32_t>(-3).put(1e10).put(0.5f).put(0.2).put(-0.2f).put<int8_t>(1);
        b.put(-0.0f).put<uint16_t>(7).put<int32_t>(2147483647).put(-2.5).put(1.5f).put(1.0).put(0.0f).put<int8_t>(1);
        ParticleChunk all = readAll(write("f.ply", b.data));
        ASSERT_EQ(all.positions.size(), 2u) << order;
        expectV3(all.positions[0], 1.25f, -3, 1e10f);
        expectV3(all.positions[1], -0.0f, 2147483647.0f, -2.5f);
        expectC4(all.colors[0], 128, 51, 0, 255);
        expectC4(all.colors[1], 255, 255, 0, 255);
        EXPECT_TRUE(all.velocities.empty());

        // A list before and inside the vertex element, integer velocities of several widths.
        header = "ply\nformat " + order + " 1.0\nelement face 2\nproperty list uchar int idx\nproperty short w\n"
            "element vertex 1\nproperty char vx\nproperty list ushort float n\nproperty double x\n"
            "property uint16 vy\nproperty int16 y\nproperty uint vz\nproperty int8 z\nproperty uchar red\n"
            "property uchar green\nproperty uchar blue\nproperty uchar alpha\nend_header\n";
        Bytes l{header, big};
        l.put<uint8_t>(2).put<int32_t>(1).put<int32_t>(2).put<int16_t>(5).put<uint8_t>(0).put<int16_t>(5);
        l.put<int8_t>(-128).put<uint16_t>(2).put(9.f).put(9.f).put(0.125).put<uint16_t>(65535).put<int16_t>(-32768);
        l.put<uint32_t>(4294967295u).put<int8_t>(127).put<uint8_t>(1).put<uint8_t>(2).put<uint8_t>(3).put<uint8_t>(4);
        all = readAll(write("l.ply", l.data));
        ASSERT_EQ(all.positions.size(), 1u) << order;
        expectV3(all.positions[0], 0.125f, -32768, 127);
        expectV3(all.velocities[0], -128, 65535, 4294967295.0f);
        expectC4(all.colors[0], 1, 2, 3, 4);
    }
}

TEST_F(Readers, TextSeparatorsColumnsAndColourRule) {
    // Commas, BOM, CRLF, comments, quotes, upper case, extra columns; integer colours are bytes.
    ParticleChunk all = readAll(write("c.csv",
        "\xEF\xBB\xBF# comment\r\n\r\n\"ID\", X ,Y,Z,R,G,B,note\r\n7, 1.5,-2,3e2,1,0,255,x\r\n# gap\r\n"
        "8,4,5,6,+0,1,1,\r\n"));
    ASSERT_EQ(all.positions.size(), 2u);
    expectV3(all.positions[0], 1.5f, -2, 300);
    expectC4(all.colors[0], 1, 0, 255, 255);
    expectC4(all.colors[1], 0, 1, 1, 255);
    EXPECT_TRUE(all.velocities.empty());

    // White space: one colour value with a decimal point makes every colour a fraction, "1" included.
    all = readAll(write("w.xyz", "x\ty  z red green blue alpha vx vy vz\n1 2 3  1 0 0.5 1 -1 0 inf\n4\t5 6 2 -1 1e-1 0 0 0 0\n"));
    ASSERT_EQ(all.positions.size(), 2u);
    expectC4(all.colors[0], 255, 0, 128, 255);
    expectC4(all.colors[1], 255, 0, 26, 0);
    expectV3(all.velocities[0], -1, 0, INFINITY);

    // Semicolons, velocities, no colour.
    all = readAll(write("s.txt", "vx;vy;vz;x;y;z\n1;2;3;4;5;6\n"));
    ASSERT_EQ(all.positions.size(), 1u);
    EXPECT_TRUE(all.colors.empty());
    expectV3(all.positions[0], 4, 5, 6);
    expectV3(all.velocities[0], 1, 2, 3);
}

TEST_F(Readers, RawFloatTriples) {
    Bytes b;
    b.put(1.f).put(2.f).put(3.f).put(-4.f).put(5.5f).put(1e-40f);
    ParticleChunk all = readAll(write("p.f32", b.data));
    ASSERT_EQ(all.positions.size(), 2u);
    expectV3(all.positions[1], -4, 5.5f, 1e-40f);
    EXPECT_TRUE(all.colors.empty());
    EXPECT_EQ(readAll(write("empty.raw", "")).positions.size(), 0u);
}

// Many particles, more than one read buffer, each format read in chunks of several sizes: all give back
// exactly what was written.
TEST_F(Readers, ChunkedReadsMatchTheWrittenParticles) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(-1e4f, 1e4f);
    std::vector<Particle> ps(60000);
    for (auto& p : ps) {
        p.p = {value(rng), value(rng), value(rng)};
        p.c = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
        p.v = {value(rng), value(rng), value(rng)};
    }
    const std::string n = std::to_string(ps.size());
    const std::string vertex = "element vertex " + n + "\nproperty float x\nproperty float y\nproperty float z\n"
        "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n"
        "property list uchar short extra\nproperty float vx\nproperty float vy\nproperty float vz\nend_header\n";
    Bytes ply{"ply\nformat binary_big_endian 1.0\n" + vertex, true};
    Bytes raw;
    std::string ascii = "ply\nformat ascii 1.0\n" + vertex, csv = "x,y,z,r,g,b,a,vx,vy,vz\n";
    char line[256];
    for (size_t i = 0; i < ps.size(); ++i) {
        const Particle& p = ps[i];
        uint8_t extra = uint8_t(i % 3);
        ply.put(p.p.x).put(p.p.y).put(p.p.z).put(p.c.x).put(p.c.y).put(p.c.z).put(p.c.w).put(extra);
        for (int k = 0; k < extra; ++k) ply.put<int16_t>(-1);
        ply.put(p.v.x).put(p.v.y).put(p.v.z);
        raw.put(p.p.x).put(p.p.y).put(p.p.z);
        std::snprintf(line, sizeof line, "%.9g %.9g %.9g %d %d %d %d 0 %.9g %.9g %.9g\n", p.p.x, p.p.y, p.p.z,
                      p.c.x, p.c.y, p.c.z, p.c.w, p.v.x, p.v.y, p.v.z);
        ascii += line;
        std::snprintf(line, sizeof line, "%.9g,%.9g,%.9g,%d,%d,%d,%d,%.9g,%.9g,%.9g\n", p.p.x, p.p.y, p.p.z, p.c.x,
                      p.c.y, p.c.z, p.c.w, p.v.x, p.v.y, p.v.z);
        csv += line;
    }
    const std::string files[] = {write("b.ply", ply.data), write("a.ply", ascii), write("c.csv", csv),
                                 write("r.bin", raw.data)};
    for (const std::string& path : files)
        for (size_t chunk : {size_t(1), size_t(4093), size_t(1) << 20}) {
            SCOPED_TRACE(path + " in chunks of " + std::to_string(chunk));
            ParticleChunk all = readAll(path, chunk);
            ASSERT_EQ(all.positions.size(), ps.size());
            bool attributes = !all.colors.empty();
            EXPECT_EQ(attributes, path.find("r.bin") == std::string::npos);
            for (size_t i = 0; i < ps.size(); ++i) {
                ASSERT_EQ(std::memcmp(&all.positions[i], &ps[i].p, 12), 0) << i;
                if (!attributes) continue;
                ASSERT_EQ(std::memcmp(&all.colors[i], &ps[i].c, 4), 0) << i;
                ASSERT_EQ(std::memcmp(&all.velocities[i], &ps[i].v, 12), 0) << i;
            }
        }
}

TEST_F(Readers, ErrorsNameTheFileAndTheLineOrByte) {
    const std::string head = "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                             "property float z\n";
    const std::string bin = "ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float x\n"
                            "property float y\nproperty float z\nend_header\n";
    const std::string huge = "ply\nformat binary_little_endian 1.0\nelement vertex 1000000000000000\n"
                             "property float x\nproperty float y\nproperty float z\nend_header\n";
    auto at = [](size_t offset) { return std::to_string(offset); };
    const std::string listVertex = "ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float x\n"
                                   "property float y\nproperty float z\nproperty list uchar double n\nend_header\n";
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"magic.ply", "plx\nformat ascii 1.0\n", {"not a PLY file"}},
        {"format.ply", "ply\nformat binary_middle_endian 1.0\nend_header\n", {"header line 2", "unknown format"}},
        {"version.ply", "ply\nformat ascii 2.0\nend_header\n", {"header line 2", "version"}},
        {"nox.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float y\nproperty float z\nend_header\n1 2\n",
         {"header line 3", "no 'x'"}},
        {"count.ply", "ply\nformat ascii 1.0\nelement vertex 12abc\n", {"header line 3", "count"}},
        {"type.ply", head + "property float16 w\nend_header\n", {"header line 7", "float16"}},
        {"keyword.ply", head + "propery float w\nend_header\n", {"header line 7", "unknown header keyword"}},
        {"truncated_header.ply", head, {"header line 7", "end_header"}},
        {"novertex.ply", "ply\nformat ascii 1.0\nelement point 1\nproperty float x\nend_header\n1\n", {"no 'vertex'"}},
        {"partial_colour.ply", head + "property uchar red\nproperty uchar green\nend_header\n1 2 3 4 5\n",
         {"header line 3", "no 'blue'"}},
        {"colour_type.ply", head + "property ushort red\nend_header\n", {"header line 7", "uchar"}},
        {"huge.ply", huge + std::string(24, '\0'), {"header line 3", "ends at byte " + at(huge.size() + 24)}},
        {"short.ply", bin + std::string(20, '\0'), {"header line 3", "cannot fit", "ends at byte " + at(bin.size() + 20)}},
        {"list_short.ply", listVertex + std::string(12, '\0') + "\x03" + std::string(16, '\0'),
         {"byte " + at(listVertex.size() + 29) + ": data ends inside 'vertex' entry 0 of 1"}},
        {"ascii_many.ply", "ply\nformat ascii 1.0\nelement vertex 100\nproperty float x\nproperty float y\n"
         "property float z\nend_header\n1 2 3\n", {"header line 3", "cannot fit"}},
        {"ascii_number.ply", head + "end_header\n\n1 2.0.0 3\n", {"line 9", "'2.0.0'"}},
        {"ascii_few.ply", head + "end_header\n1 2        \n", {"line 8", "too few values"}},
        {"ascii_ends.ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
         "property float z\nend_header\n1 2 3\n" + std::string(20, '\n'), {"line 28", "file ends before 'vertex' entry 1 of 3"}},
        {"ascii_colour.ply", head + "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n"
         "1 2 3 4 300 6\n", {"line 11", "'300'"}},
        {"big.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty double y\n"
         "property float z\nend_header\n1 1e39 3\n", {"line 8", "vertex 0 has a position beyond the float range"}},
        {"nox.csv", "# points\na,y,z\n1,2,3\n", {"nox.csv: line 2", "no 'x'"}},
        {"empty.csv", "# nothing\n\n", {"no header line"}},
        {"columns.csv", "x,y,z\n1,2,3\n1,2\n", {"line 3", "2 values, expected 3"}},
        {"number.txt", "x y z\n\n1 2 3\n1 two 3\n", {"line 4", "column 'y'", "'two'"}},
        {"float_range.csv", "x,y,z\n1,-1e39,3\n", {"line 2", "beyond the float range"}},
        {"byte.csv", "x,y,z,r,g,b\n1,2,3,0,256,0\n", {"line 2", "column 'g'", "0..255"}},
        {"partial.csv", "x,y,z,vx,vz\n", {"line 1", "no 'vy'"}},
        {"twice.csv", "x,y,z,r,red,g,b\n", {"line 1", "'r' and 'red'"}},
        {"odd.raw", std::string(25, '\0'), {"size 25", "not a multiple of 12", "1 trailing"}},
        {"mystery.dat", "x,y,z\n", {"cannot tell the format"}},
    };
    for (const Case& c : cases) {
        const std::string path = write(c.name, c.content);
        const std::string error = failure(path);
        EXPECT_NE(error.find(path + ":"), std::string::npos) << c.name << ": " << error;
        for (const std::string& part : c.expected)
            EXPECT_NE(error.find(part), std::string::npos) << c.name << ": '" << part << "' not in: " << error;
    }
    for (const char* name : {"missing.ply", "missing.dat"}) {
        const std::string missing = (dir_ / name).string();
        EXPECT_NE(failure(missing).find(missing + ": cannot open: No such file"), std::string::npos);
    }
    EXPECT_NE(failure(dir_.string(), "csv").find("not a regular file"), std::string::npos);
    EXPECT_NE(failure(write("x.ply", kPlyAscii), "json").find("unknown format 'json'"), std::string::npos);
    EXPECT_NE(failure(write("p.bin", "ply\n"), "ply").find(": header line 2: the file ends before"), std::string::npos);

    // A chunk of zero is refused without spoiling the reader (the fuzz targets check that failures stick).
    std::string error;
    auto reader = openParticleFile(write("late.csv", "x,y,z\n1,2,3\n"), "auto", &error);
    ParticleChunk part;
    EXPECT_TRUE(reader && !reader->next(0, part, &error) && reader->next(1, part, &error) && part.positions.size() == 1);
}

}  // namespace
