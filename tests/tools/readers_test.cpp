// The particle file readers: every format and variant, reads across the read buffer, and where an error
// message points (the fuzz targets feed them damaged input and check chunking and failures).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "readers/particle_reader.h"
#include "snapshot_writer.h"

using namespace taluna::readers;
namespace fs = std::filesystem;

namespace {

struct Bytes {
    std::string data;
    bool big = false;
    template <typename T> Bytes& put(T value) {
        char b[sizeof(T)];
        std::memcpy(b, &value, sizeof(T));
        if (big != (std::endian::native == std::endian::big)) std::reverse(b, b + sizeof(T));
        data.append(b, sizeof(T));
        return *this;
    }
};

using V = std::vector<float>;
V v3(const TLV3& a) { return {a.x, a.y, a.z}; }
V c4(const TLUChar4& a) { return {float(a.x), float(a.y), float(a.z), float(a.w)}; }

void append(ParticleChunk& all, const ParticleChunk& part) {
    all.positions.insert(all.positions.end(), part.positions.begin(), part.positions.end());
    all.colors.insert(all.colors.end(), part.colors.begin(), part.colors.end());
    all.velocities.insert(all.velocities.end(), part.velocities.begin(), part.velocities.end());
    all.values.insert(all.values.end(), part.values.begin(), part.values.end());
}

// Every quantity of every particle, positions first.
V flat(const ParticleChunk& all) {
    V out;
    for (const TLV3& p : all.positions) out.insert(out.end(), {p.x, p.y, p.z});
    for (const TLUChar4& c : all.colors) out.insert(out.end(), {float(c.x), float(c.y), float(c.z), float(c.w)});
    for (const TLV3& v : all.velocities) out.insert(out.end(), {v.x, v.y, v.z});
    return out.insert(out.end(), all.values.begin(), all.values.end()), out;
}

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

    // The whole file, read in chunks of `chunk`; the reader's warnings in warnings_.
    ParticleChunk readAll(const std::string& path, size_t chunk = 1000, const ReadOptions& options = {}) {
        std::string error;
        auto reader = openParticleFile(path, options, &error);
        ParticleChunk all, part;
        EXPECT_TRUE(reader) << error;
        while (reader && reader->next(chunk, part, &error) && !part.positions.empty()) {
            append(all, part);
            EXPECT_EQ(part.colors.size() + part.values.size(),
                      part.positions.size() * (reader->hasColors() + reader->hasValues()));
        }
        if (reader) {
            warnings_ = reader->warnings();
            first_ = reader->firstIndex();
            EXPECT_LE(all.positions.size(), reader->count());
        }
        EXPECT_TRUE(part.positions.empty()) << error;
        return all;
    }

    // Shares 0..shares-1 read one after the other, each starting at the record number the ones before it
    // handed out (the files have no rows to drop); the warnings of all in warnings_.
    ParticleChunk readShares(const std::string& path, uint32_t shares, size_t chunk, ReadOptions options = {}) {
        ParticleChunk all;
        std::vector<std::string> warnings;
        options.shareCount = shares;
        for (options.shareIndex = 0; options.shareIndex < shares; ++options.shareIndex) {
            ParticleChunk part = readAll(path, chunk, options);
            EXPECT_EQ(first_, all.positions.size()) << "share " << options.shareIndex << " of " << shares;
            append(all, part);
            warnings.insert(warnings.end(), warnings_.begin(), warnings_.end());
        }
        warnings_ = warnings;
        return all;
    }

    fs::path dir_;
    std::vector<std::string> warnings_;  // the last readAll's
    uint64_t first_ = 0;                 // the last readAll's firstIndex()
};

TEST_F(Readers, PlyAsciiSkipsOtherElementsAndProperties) {
    ParticleChunk all = readAll(write("a.ply",
        "ply\nformat ascii 1.0\ncomment made by hand\nobj_info test\n"
        "element face 2\nproperty list uchar int vertex_indices\n"
        "element vertex 2\nproperty float x\nproperty float y\nproperty float z\nproperty list uchar float extra\n"
        "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n"
        "property double vx\nproperty double vy\nproperty double vz\nelement edge 1\nproperty int a\nend_header\n"
        "3 0 1 2\n4 0 1 2 3\n1.5 -2 3e2 2 9 9 255 0 10 128 0.25 0.5 -1\n\n+4 5 6 0 1 2 3 4 0 0 0\n7 8\n"));
    ASSERT_EQ(all.positions.size(), 2u);
    EXPECT_EQ((std::vector<V>{v3(all.positions[0]), v3(all.positions[1]), c4(all.colors[0]), c4(all.colors[1]),
                              v3(all.velocities[0])}),
              (std::vector<V>{{1.5f, -2, 300}, {4, 5, 6}, {255, 0, 10, 128}, {1, 2, 3, 4}, {0.25f, 0.5f, -1}}));
}

TEST_F(Readers, PlyBinaryBothByteOrdersWithMixedTypes) {
    for (bool big : {false, true}) {
        const std::string order = big ? "binary_big_endian" : "binary_little_endian";
        SCOPED_TRACE(order);
        // Fixed-size vertices: float colours, no alpha, no velocity, skipped properties between the used ones.
        Bytes b{"ply\nformat " + order + " 1.0\nelement vertex 2\nproperty float32 x\nproperty ushort skip1\n"
                "property int y\nproperty float64 z\nproperty float red\nproperty double green\n"
                "property float blue\nproperty int8 skip2\nend_header\n", big};
        b.put(1.25f).put<uint16_t>(7).put<int32_t>(-3).put(1e10).put(0.5f).put(0.2).put(-0.2f).put<int8_t>(1);
        b.put(-0.0f).put<uint16_t>(7).put<int32_t>(2147483647).put(-2.5).put(1.5f).put(1.0).put(0.0f).put<int8_t>(1);
        ParticleChunk all = readAll(write("f.ply", b.data));
        ASSERT_EQ(all.positions.size(), 2u);
        EXPECT_EQ((std::vector<V>{v3(all.positions[0]), v3(all.positions[1]), c4(all.colors[0]), c4(all.colors[1])}),
                  (std::vector<V>{{1.25f, -3, 1e10f}, {-0.0f, 2147483647.0f, -2.5f}, {128, 51, 0, 255},
                                  {255, 255, 0, 255}}));
        EXPECT_TRUE(all.velocities.empty());

        // A list before and inside the vertex element, integer velocities of several widths.
        Bytes l{"ply\nformat " + order + " 1.0\nelement face 2\nproperty list uchar int idx\nproperty short w\n"
                "element vertex 1\nproperty char vx\nproperty list ushort float n\nproperty double x\n"
                "property uint16 vy\nproperty int16 y\nproperty uint vz\nproperty int8 z\nproperty uchar red\n"
                "property uchar green\nproperty uchar blue\nproperty uchar alpha\nend_header\n", big};
        l.put<uint8_t>(2).put<int32_t>(1).put<int32_t>(2).put<int16_t>(5).put<uint8_t>(0).put<int16_t>(5);
        l.put<int8_t>(-128).put<uint16_t>(2).put(9.f).put(9.f).put(0.125).put<uint16_t>(65535).put<int16_t>(-32768);
        l.put<uint32_t>(4294967295u).put<int8_t>(127).put<uint8_t>(1).put<uint8_t>(2).put<uint8_t>(3).put<uint8_t>(4);
        all = readAll(write("l.ply", l.data));
        ASSERT_EQ(all.positions.size(), 1u);
        EXPECT_EQ((std::vector<V>{v3(all.positions[0]), v3(all.velocities[0]), c4(all.colors[0])}),
                  (std::vector<V>{{0.125f, -32768, 127}, {-128, 65535, 4294967295.0f}, {1, 2, 3, 4}}));
    }
}

TEST_F(Readers, TextSeparatorsColumnsAndColourRuleAndRawFloats) {
    const std::string raw = Bytes{}.put(-4.f).put(5.5f).put(1e-40f).put(1.f).put(2.f).put(3.f).data;
    struct Case { const char* name; std::string content; V position0, colour1, velocity0; };  // {}: none in the file
    const Case cases[] = {
        // Commas, BOM, CRLF, comments, quotes, upper case, extra columns; integer colours are bytes.
        {"c.csv", "\xEF\xBB\xBF# comment\r\n\r\n\"ID\", X ,Y,Z,R,G,B,note\r\n7, 1.5,-2,3e2,1,0,255,x\r\n# gap\r\n"
         "8,4,5,6,+0,1,1,\r\n", {1.5f, -2, 300}, {0, 1, 1, 255}, {}},
        // White space: one colour value with a decimal point makes every colour a fraction, "1" included.
        {"w.xyz", "x\ty  z red green blue alpha vx vy vz\n1 2 3  1 0 0.5 1 -1 0 inf\n4\t5 6 1 -1 0.5 0 0 0 0\n",
         {1, 2, 3}, {255, 0, 128, 0}, {-1, 0, INFINITY}},
        // Semicolons, velocities before the position, no colour.
        {"s.txt", "vx;vy;vz;x;y;z\n1;2;3;-7;8;9\n4;5;6;4;5;6\n", {-7, 8, 9}, {}, {1, 2, 3}},
        {"p.f32", raw, {-4, 5.5f, 1e-40f}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ParticleChunk all = readAll(write(c.name, c.content));
        ASSERT_EQ(all.positions.size(), 2u);
        EXPECT_EQ(v3(all.positions[0]), c.position0);
        EXPECT_EQ(all.colors.empty() ? V{} : c4(all.colors[1]), c.colour1);
        EXPECT_EQ(all.velocities.empty() ? V{} : v3(all.velocities[0]), c.velocity0);
    }
}

// What other programs write: free text in PLY headers, other colour names and widths, files cut short, no
// header in text files, rows of NaN; and the quantity to colour by.
TEST_F(Readers, LenientReadsAndColourByQuantity) {
    const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
    Bytes cut{"ply\nformat binary_little_endian 1.0\nelement vertex 4\n" + xyz +
              "property ushort red\nproperty uint16 green\nproperty ushort blue\nend_header\n"};
    cut.put(1.f).put(2.f).put(3.f).put<uint16_t>(65535).put<uint16_t>(32768).put<uint16_t>(0);
    cut.put(4.f).put(5.f).put(6.f).put<uint16_t>(0).put<uint16_t>(257).put<uint16_t>(65535).put(7.f).put(8.f);
    const std::string cutAscii = "ply\nformat ascii 1.0\nelement vertex 4\n" + xyz + "property double r\n"
                                 "property double g\nproperty double b\nend_header\n1 1 1 0 0.5 1\n2 2 2 1 1 1\n3 3";
    // warnings: a part of each warning, in order.
    struct Case { const char* name; std::string content; std::string colorBy; std::vector<V> positions, colours;
                  V values; std::vector<std::string> warnings; uint32_t shares = 1; };  // the last of the shares
    const Case cases[] = {
        {"blender.ply", "ply\nformat ascii 1.0\nCreated by Blender3D 247 - www.blender.org\nobj_info n 1\n"
         "element vertex 3\n" + xyz + "property uchar diffuse_red\nproperty uchar diffuse_green\n"
         "property char diffuse_blue\nproperty float quality\nproperty float r\nend_header\n1 2 3 255 0 7 0.5 9\n"
         "nan 0 0 1 1 1 1 9\n4 5 6 1 2 -1 -2.5 9\n", "Quality", {{1, 2, 3}, {4, 5, 6}}, {{255, 0, 7, 255}, {1, 2, 255, 255}},
         {0.5f, -2.5f}, {"skipped 2 header lines with obj_info or an unknown keyword, the first at header line 3: "
         "'Created by Blender3D", "dropped 1 row "}},
        {"cut.ply", cut.data, "", {{1, 2, 3}, {4, 5, 6}}, {{255, 128, 0, 255}, {0, 1, 255, 255}}, {},
         {"the file ends after 2 of the 4 vertices its header declares: 2 missing"}},
        {"cut_ascii.ply", cutAscii, "", {{1, 1, 1}, {2, 2, 2}}, {{0, 128, 255, 255}, {255, 255, 255, 255}}, {},
         {"after 2 of the 4 vertices"}},
        {"cut_ascii.ply", cutAscii, "", {{2, 2, 2}}, {{255, 255, 255, 255}}, {},
         {"before vertex 2 (numbered from 0) of the 4 its header declares: this share misses 2 of its 3"}, 2},
        {"cut.ply", cut.data, "", {}, {}, {}, {"before vertex 2 (numbered from 0) of the 4"}, 2},
        {"plain.xyz", "1 2 3\n4 5 6\n7 8", "", {{1, 2, 3}, {4, 5, 6}}, {}, {},
         {"the last line, 3, is cut short"}},
        {"unit.txt", "1 2 3 0 0.5 1\n4 5 6 1 1 0.25\n", "", {{1, 2, 3}, {4, 5, 6}},
         {{0, 128, 255, 255}, {255, 255, 64, 255}}, {}, {}},
        {"bytes.txt", "1,2,3,0,128,1\n4,5,6,255,2.0,0\n", "", {{1, 2, 3}, {4, 5, 6}},
         {{0, 128, 1, 255}, {255, 2, 0, 255}}, {}, {}},
        {"scan.pts", "3\n1 2 3 -500 10 20 30\n4 5 6 7 40 50 60\n", "intensity", {{1, 2, 3}, {4, 5, 6}},
         {{10, 20, 30, 255}, {40, 50, 60, 255}}, {-500, 7}, {"the first line gives 3 points, the file holds 2"}},
        {"nan.xyz", "nan 1 1\n1 -inf 1\n", "", {}, {}, {}, {"dropped 2 rows with non-finite coordinates"}},
        {"density.csv", "x,y,z,Density\n1,2,3,0.25\n", "density", {{1, 2, 3}}, {}, {0.25f}, {}},
        {"speed.csv", "x,y,z,vx,vy,vz\n1,2,3,3,0,-4\n", "speed", {{1, 2, 3}}, {}, {5}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReadOptions options{.colorBy = c.colorBy, .shareIndex = c.shares - 1, .shareCount = c.shares};
        ParticleChunk all = readAll(write(c.name, c.content), 3, options);
        const std::vector<std::string>& warnings = warnings_;
        std::vector<V> positions, colours;
        for (const TLV3& p : all.positions) positions.push_back(v3(p));
        for (const TLUChar4& k : all.colors) colours.push_back(c4(k));
        EXPECT_EQ(positions, c.positions);
        EXPECT_EQ(colours, c.colours);
        EXPECT_EQ(all.values, c.values);
        ASSERT_EQ(warnings.size(), c.warnings.size()) << (warnings.empty() ? "" : warnings[0]);
        for (size_t i = 0; i < warnings.size(); ++i)
            EXPECT_NE(warnings[i].find(c.warnings[i]), std::string::npos) << warnings[i];
    }
}

// Files larger than the read buffer, read in chunks of several sizes, give back exactly what was written.
TEST_F(Readers, ChunkedReadsMatchTheWrittenParticles) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(-1e4f, 1e4f);
    const size_t n = 60000;
    std::vector<float> ps(n * 6);  // position and velocity
    std::vector<uint8_t> cs(n * 4);
    for (float& f : ps) f = value(rng);
    for (uint8_t& c : cs) c = uint8_t(rng());
    const std::string vertex = "element vertex " + std::to_string(n) + "\nproperty float x\nproperty float y\n"
        "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n"
        "property list uchar short extra\nproperty float vx\nproperty float vy\nproperty float vz\nend_header\n";
    Bytes ply{"ply\nformat binary_big_endian 1.0\n" + vertex, true}, raw;
    std::string ascii = "ply\nformat ascii 1.0\n" + vertex, csv = "x,y,z,r,g,b,a,n,vx,vy,vz\n";
    char line[256];
    for (size_t i = 0; i < n; ++i) {
        const float* p = &ps[i * 6];
        const uint8_t* c = &cs[i * 4];
        const uint8_t extra = uint8_t(i % 3);
        ply.put(p[0]).put(p[1]).put(p[2]).put(c[0]).put(c[1]).put(c[2]).put(c[3]).put(extra);
        for (int k = 0; k < extra; ++k) ply.put<int16_t>(-1);
        ply.put(p[3]).put(p[4]).put(p[5]);
        raw.put(p[0]).put(p[1]).put(p[2]);
        std::snprintf(line, sizeof line, "%.9g %.9g %.9g %d %d %d %d 0 %.9g %.9g %.9g\n", p[0], p[1], p[2], c[0],
                      c[1], c[2], c[3], p[3], p[4], p[5]);
        ascii += line;
        std::replace(line, line + std::strlen(line), ' ', ',');
        csv += line;
    }
    const std::string files[] = {write("b.ply", ply.data), write("a.ply", ascii), write("c.csv", csv),
                                 write("r.bin", raw.data)};
    for (const std::string& path : files)
        for (auto [chunk, shares] : {std::pair{size_t(1), 1u}, {size_t(4093), 1u}, {size_t(1) << 20, 1u}, {4093, 5}}) {
            SCOPED_TRACE(path + " in chunks of " + std::to_string(chunk) + ", " + std::to_string(shares) + " shares");
            ParticleChunk all = readShares(path, shares, chunk);
            ASSERT_EQ(all.positions.size(), n);
            const bool attributes = path != files[3];
            ASSERT_EQ(all.colors.size(), attributes ? n : 0);
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(std::memcmp(&all.positions[i], &ps[i * 6], 12), 0) << i;
                if (!attributes) continue;
                ASSERT_EQ(std::memcmp(&all.colors[i], &cs[i * 4], 4), 0) << i;
                ASSERT_EQ(std::memcmp(&all.velocities[i], &ps[i * 6 + 3], 12), 0) << i;
            }
        }
}

// Each format in shares, with comments, blank lines, elements around the particles and a last line cut short,
// also more shares than particles (empty ones): the shares one after the other make the whole read, warnings
// included. Bad share options are refused.
TEST_F(Readers, SharesFollowEachOtherAndMakeTheWholeRead) {
    const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
    for (size_t n : {5, 23}) {
        const std::string vertex = "element vertex " + std::to_string(n) + "\n" + xyz;
        Bytes ply{"ply\nformat binary_little_endian 1.0\nelement face 1\nproperty list uchar int i\n" + vertex +
                  "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty float q\nend_header\n"};
        Bytes raw;
        ply.put<uint8_t>(1).put<int32_t>(0);
        std::string ascii = "ply\nformat ascii 1.0\nelement face 1\nproperty list uchar int i\n" + vertex +
                            "property float q\nelement edge 2\nproperty int a\nend_header\n3 0 1 2\n";
        std::string csv = "# by hand\r\nx,y,z,r,g,b,vx,vy,vz,q\r\n", pts = std::to_string(n) + "\n";
        std::string fractions = "x y z r g b\n";  // "0" and "1" are fractions too: the first row shows it
        std::vector<double> snapshot[2][3];  // per type: positions, velocities, q
        for (size_t i = 0; i < n; ++i) {  // lines of several lengths
            const float x = float(i * 37 % 101) / 8, y = -float(i), z = float(i * i) / 4, q = float(i) / 2;
            const int c = int(i * 53 % 256);
            ply.put(x).put(y).put(z).put(uint8_t(c)).put(uint8_t(255 - c)).put(uint8_t(i)).put(q);
            raw.put(x).put(y).put(z);
            char line[200];
            std::snprintf(line, sizeof line, "%g %g %g %g\n%s", x, y, z, q, i % 4 ? "" : "\n");
            ascii += line;
            std::snprintf(line, sizeof line, "%g,%g,%g,%d,%d,%zu,%g,%g,%g,%g\r\n%s", x, y, z, c, 255 - c, i, y, z, x,
                          q, i % 5 == 2 ? "# note\r\n\r\n" : "");
            csv += line;
            std::snprintf(line, sizeof line, "%g %g %g %g %d %d %d\n", x, y, z, q, c, 7, 255 - c);
            pts += line;
            std::snprintf(line, sizeof line, "%g %g %g %g %zu 1\n", x, y, z, i ? 0.0 : 0.5, i % 2);
            fractions += line;
            std::vector<double>* set = snapshot[i < n / 2 ? 0 : 1];  // types 0 and 1
            set[0].insert(set[0].end(), {x, y, z}), set[1].insert(set[1].end(), {z, x, y}), set[2].push_back(q);
        }
        std::vector<SnapshotDataset> sets;
        for (int t : {0, 1}) {
            const std::string g = "/PartType" + std::to_string(t) + "/";
            const hsize_t rows = snapshot[t][2].size();
            sets.insert(sets.end(), {{g + "Coordinates", H5T_NATIVE_FLOAT, {rows, 3}, snapshot[t][0]},
                                     {g + "Velocities", H5T_NATIVE_DOUBLE, {rows, 3}, snapshot[t][1]},
                                     {g + "q", H5T_NATIVE_FLOAT, {rows}, snapshot[t][2]}});
        }
        ASSERT_TRUE(writeSnapshot((dir_ / "s.hdf5").string(), sets));
        const std::pair<std::string, const char*> files[] = {{write("b.ply", ply.data), "q"},
            {write("a.ply", ascii + "2\n3\n"), "q"}, {write("c.csv", csv), "q"},
            {write("s.pts", pts + "0.125 0.25 0.5 0.75 0.875 1.0625"), "intensity"},
            {write("f.txt", fractions), ""}, {write("r.raw", raw.data), ""}, {(dir_ / "s.hdf5").string(), "q"}};
        const ParticleChunk positions = readAll(files[5].first);
        for (const auto& [path, colorBy] : files) {
            const ParticleChunk whole = readAll(path, 1000, ReadOptions{.colorBy = colorBy});
            const std::vector<std::string> warnings = warnings_;
            EXPECT_EQ(whole.positions.size(), n);
            EXPECT_EQ(flat(ParticleChunk{whole.positions}), flat(positions)) << path;
            for (uint32_t shares : {1, 2, 3, 7}) {
                SCOPED_TRACE(path + " in " + std::to_string(shares) + " shares");
                EXPECT_EQ(flat(readShares(path, shares, 2, ReadOptions{.colorBy = colorBy})), flat(whole));
                EXPECT_EQ(warnings_, warnings);
            }
        }
    }
    for (auto [index, count] : {std::pair{0u, 0u}, {3u, 3u}}) {
        std::string error;
        const ReadOptions options{.shareIndex = index, .shareCount = count};
        EXPECT_FALSE(openParticleFile(write("x.csv", ""), options, &error));
        EXPECT_NE(error.find("x.csv: cannot read share " + std::to_string(index) + " of " + std::to_string(count)),
                  std::string::npos) << error;
    }
}

// Each message names the file and the header line, data line or byte where the fault is.
TEST_F(Readers, ErrorsNameTheFileAndTheLineOrByte) {
    const std::string head = "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                             "property float z\n";
    const std::string bin = "ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float x\n"
                            "property float y\nproperty float z\n";
    const std::string face = "ply\nformat binary_little_endian 1.0\nelement face 2\nproperty list uchar int i\n"
                             "property ushort w\nelement vertex 1\nproperty float x\nproperty float y\n"
                             "property float z\nend_header\n";
    struct Case { const char* name; std::string content; std::vector<std::string> expected; std::string colorBy;
                  uint32_t shares = 1; };  // the last of the shares
    const Case cases[] = {
        {"type.ply", head + "property float16 w\nend_header\n", {"header line 7", "float16"}},
        {"partial_colour.ply", head + "property uchar red\nproperty uchar green\nend_header\n1 2 3 4 5\n",
         {"header line 3", "no 'blue'"}},
        {"short.ply", bin + "end_header\n" + std::string(11, '\0'),
         {"header line 3", "cannot fit", "ends at byte " + std::to_string(bin.size() + 22)}},
        {"list_short.ply", face + std::string(3, '\0') + "\x03" + std::string(8, '\0'),
         {"byte " + std::to_string(face.size() + 12) + ": data ends inside 'face' entry 1 of 2"}},
        {"colour_by.ply", head + "property uchar s\nend_header\n1 2 3 4\n", {"colour by 'q'", "it has x, y, z, s"},
         "q"},
        {"colour_by.raw", std::string(12, '\0'), {"colour by 'speed'", "it has none"}, "speed"},
        {"five.txt", "# no header\n1 2 3 4 5\n", {"line 2: a row of 5 numbers and no header line"}},
        {"ascii_number.ply", head + "end_header\n\n1 2.0.0 3\n", {"line 9", "'2.0.0'"}},
        {"ascii_colour.ply", head + "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n"
         "1 2 3 4 300 6\n", {"line 11", "'300'"}},
        {"nox.csv", "# points\na,y,z\n1,2,3\n", {"nox.csv: line 2", "no 'x'"}},
        {"columns.csv", "x,y,z\n1,2,3\n1,2\n", {"line 3", "2 values, expected 3"}},
        {"number.txt", "x y z\n\n1 2 3\n1 two 3\n", {"line 4", "column 'y'", "'two'"}},
        {"byte.csv", "x,y,z,r,g,b\n1,2,3,0,256,0\n", {"line 2", "column 'g'", "0..255"}},
        {"odd.raw", std::string(25, '\0'), {"size 25", "not a multiple of 12", "1 trailing"}},
        {"share.csv", "x,y,z\n1,2,3\n\n4,5,6\n7,8\n", {"line 5", "2 values, expected 3"}, "", 2},
        {"share.ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
         "property float z\nend_header\n1 2 3\n\n4 5 6\n7 x 9\n", {"line 11", "'x'"}, "", 2},
    };
    for (const Case& c : cases) {
        const std::string path = write(c.name, c.content);
        std::string error;
        const ReadOptions options{.colorBy = c.colorBy, .shareIndex = c.shares - 1, .shareCount = c.shares};
        auto reader = openParticleFile(path, options, &error);
        ParticleChunk part;
        while (reader && reader->next(3, part, &error) && !part.positions.empty()) {}
        EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << c.name << ": " << error;
        for (const std::string& expected : c.expected)
            EXPECT_NE(error.find(expected), std::string::npos) << c.name << ": '" << expected << "' not in: " << error;
    }
}

// Gas stored as float and stars as double, read in chunks across the two; the type colours, colouring by a
// dataset and by speed, one type chosen, the HDF5 signature without the extension, the header's counts.
TEST_F(Readers, Hdf5SnapshotTypesChunksAndColourBy) {
    std::vector<SnapshotDataset> sets = {{"/PartType2/Masses", H5T_NATIVE_FLOAT, {1}, {1}}};  // counted 0: skipped
    V positions, values;  // what the file holds, type 0 then 4
    for (int t : {0, 4}) {
        std::vector<double> p, v, d;
        for (int i = 0; i < 5 - t / 4; ++i) {
            p.insert(p.end(), {25.0 * t + i, 0.1, -1e-3 * i}), v.insert(v.end(), {0, 2.0 * i, 0});
            d.push_back(t + 0.25 * i), values.push_back(t + 0.25f * i);
            positions.insert(positions.end(), {25.0f * t + i, 0.1f, float(-1e-3 * i)});
        }
        const std::string g = "/PartType" + std::to_string(t) + "/";
        const hid_t type = t ? H5T_NATIVE_DOUBLE : H5T_NATIVE_FLOAT;
        const hsize_t n = d.size();
        sets.insert(sets.end(), {{g + "Coordinates", type, {n, 3}, p}, {g + "Velocities", type, {n, 3}, v},
                                 {g + "Density", type, {n}, d}});
    }
    const std::string path = (dir_ / "snap.hdf5").string(), bare = (dir_ / "snapshot").string();
    ASSERT_TRUE(writeSnapshot(path, sets, {5, 0, 0, 0, 3, 0}) && writeSnapshot(bare, sets));
    ParticleChunk all = readAll(path, 3, {"auto", "Density", {}});
    V read, colours;
    for (size_t i = 0; i < all.positions.size(); ++i)
        for (auto [to, from] : {std::pair{&read, v3(all.positions[i])}, {&colours, c4(all.colors[i])}})
            to->insert(to->end(), from.begin(), from.end());
    EXPECT_EQ(read, positions);
    EXPECT_EQ(all.values, values);
    EXPECT_EQ(v3(all.velocities[8]), (V{0, 6, 0}));
    EXPECT_EQ(V(colours.begin() + 16, colours.begin() + 24), (V{255, 128, 32, 255, 255, 235, 150, 255}));
    EXPECT_EQ(warnings_, std::vector<std::string>{"the header's NumPart_ThisFile counts 3 particles of type 4, "
                                                  "/PartType4/Coordinates holds 4"});
    all = readAll(bare, 2, {"auto", "speed", {4}});
    ASSERT_EQ(all.positions.size(), 4u);
    EXPECT_EQ(v3(all.positions[3]), V(positions.end() - 3, positions.end()));
    EXPECT_EQ(all.values, (V{0, 2, 4, 6}));
}

// Each message names the file and the group or dataset at fault; HDF5 itself prints nothing.
TEST_F(Readers, Hdf5ErrorsNameTheDatasetAndPrintNothing) {
    auto ones = [](const char* name, std::vector<hsize_t> dims) {  // float datasets of ones
        return SnapshotDataset{name, H5T_NATIVE_FLOAT, dims, std::vector<double>(dims[0] * dims.back(), 1.0)};
    };
    const SnapshotDataset coordinates = ones("/PartType0/Coordinates", {2, 3});
    struct Case { const char* name; std::vector<SnapshotDataset> sets; ReadOptions options; const char* expected; };
    const Case cases[] = {
        {"xyz.hdf5", {coordinates, ones("/PartType1/Velocities", {1, 3})}, {}, "/PartType1 has no dataset 'Coordinat"},
        {"shape.h5", {ones("/PartType0/Coordinates", {3, 2})}, {}, "/PartType0/Coordinates has shape 3x2, expected Nx"},
        {"rows.h5", {coordinates, ones("/PartType0/Velocities", {1, 3})}, {},
         "/PartType0/Velocities has 1 rows, /PartType0/Coordinates 2"},
        {"empty.h5", {ones("/PartType0/Coordinates", {0, 3}), ones("/PartType0/Velocities", {1, 3})}, {},
         "/PartType0/Velocities has 1 rows, /PartType0/Coordinates 0"},
        {"none.h5", {ones("/Gas/Coordinates", {1, 3})}, {}, "no /PartType0../PartType5 group holding Coordinates"},
        {"masses.h5", {coordinates, ones("/PartType0/Masses", {2}), ones("/PartType1/Coordinates", {1, 3})},
         {"auto", "Masses", {}}, "/PartType1 has no dataset 'Masses' to colour by (it has Coordinates; or colour by"},
        {"speed.h5", {coordinates}, {"hdf5", "speed", {}}, "/PartType0 has no dataset 'Velocities' to colour by"},
        {"type.h5", {coordinates}, {"auto", "", {0, 3}}, "no /PartType3 group"},
        {"range.h5", {{"/PartType0/Coordinates", H5T_NATIVE_DOUBLE, {2, 3}, {1, 2, 3, 4, 1e300, 6}}}, {},
         "/PartType0/Coordinates row 1 holds a value beyond the float range"},
        {"junk.hdf5", {}, {}, "not an HDF5 file"},
    };
    testing::internal::CaptureStderr();
    for (const Case& c : cases) {
        const std::string path = c.sets.empty() ? write(c.name, "x,y,z\n1,2,3\n") : (dir_ / c.name).string();
        ASSERT_TRUE(c.sets.empty() || writeSnapshot(path, c.sets)) << c.name;
        std::string error;
        auto reader = openParticleFile(path, c.options, &error);
        ParticleChunk part;
        while (reader && reader->next(1, part, &error) && !part.positions.empty()) {}
        EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << c.name << ": " << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": '" << c.expected << "' not in: " << error;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
