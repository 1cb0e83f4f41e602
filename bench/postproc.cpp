// Post-processing throughput on a generated set of split parts.
//
//   postproc [FOLDER] [MB]
//
// Writes MB megabytes (default 1000) as ten parts name.bin.001.. into a fresh folder below
// FOLDER (default: the temporary folder), with an SFV list and a par2 recovery set over the
// parts (not timed). Then measures on the same disk, each after a sync so earlier writes do not
// weigh on it: a plain copy of the parts into one file (copy_MBps), the join of the parts
// (join_MBps), the SFV check (sfv_MBps) and the verification of the complete set
// (par2_verify_s). Copy and join take the best of three rounds. Last come the ratios of joining and checking
// to the plain copy.

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "nntp/decode/crc32.h"
#include "platform/paths.h"
#include "platform/window_messages.h"
#include "postproc/join.h"
#include "postproc/par_repair.h"
#include "postproc/progress.h"
#include "postproc/rar/extract.h"
#include "postproc/sfv.h"

namespace fs = std::filesystem;
using namespace quivern;

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Drain(CTestReceiver& window) {
    while (auto m = window.TryTake()) {
        const bool text = (m->wParam == ProgFile || m->wParam == ProgJob) && m->lParam > 1;
        if (text) delete reinterpret_cast<std::string*>(m->lParam);
    }
}

void DrainSfv(CTestReceiver& window, std::size_t& bad) {
    while (auto m = window.TryTake()) {
        if ((m->wParam & 0xFFFF) != SfvOk) ++bad;
        delete reinterpret_cast<std::string*>(m->lParam);
    }
}

// A RAR 5 archive with stored entries (one per file), written as a stream: what an archiver
// with compression switched off makes of a posting's files.
void PutVint(std::string& out, std::uint64_t v) {
    do {
        std::uint8_t b = v & 0x7F;
        v >>= 7;
        if (v) b |= 0x80;
        out.push_back(static_cast<char>(b));
    } while (v);
}

void PutBlock(std::ofstream& out, const std::string& body) {
    std::string sized;
    PutVint(sized, body.size());
    sized += body;
    const std::uint32_t crc = quivern::Crc32(sized.data(), sized.size());
    out.write(reinterpret_cast<const char*>(&crc), 4);
    out << sized;
}

bool WriteStoredRar5(const std::string& archive, const std::vector<std::string>& files) {
    std::ofstream out(archive, std::ios::binary);
    out.write("Rar!\x1a\x07\x01\x00", 8);
    PutBlock(out, std::string("\x01\x00\x00", 3));  // main header
    std::vector<char> buf(1 << 20);
    for (const auto& path : files) {
        const std::uint64_t size = fs::file_size(path);
        const std::string name = fs::path(path).filename().string();
        std::string body;
        PutVint(body, 2);    // file header
        PutVint(body, 0x2);  // with a data area
        PutVint(body, size);
        PutVint(body, 0x4);  // CRC present
        PutVint(body, size);
        PutVint(body, 0x81A4);  // regular file, mode 0644
        const std::uint32_t crc = quivern::FileCrc32(path);
        body.append(reinterpret_cast<const char*>(&crc), 4);
        PutVint(body, 0);  // stored
        PutVint(body, 1);  // Unix
        PutVint(body, name.size());
        body += name;
        PutBlock(out, body);
        std::ifstream in(path, std::ios::binary);
        while (in) {
            in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
            out.write(buf.data(), in.gcount());
        }
    }
    PutBlock(out, std::string("\x05\x00\x00", 3));  // end of archive
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string base = argc > 1 ? argv[1] : TempFolder();
    const std::uint64_t totalMb = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    constexpr int kParts = 10;
    const std::uint64_t partBytes = totalMb * 1000 * 1000 / kParts;
    const std::uint64_t totalBytes = partBytes * kParts;

    std::string folder = (fs::path(base) / "quivern-bench-pp-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        std::fprintf(stderr, "cannot create a folder below %s\n", base.c_str());
        return 1;
    }

    // Generate the parts with their CRCs (not timed).
    std::string sfv;
    std::string parArgs;
    std::vector<std::uint64_t> block(1 << 17);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (int p = 1; p <= kParts; ++p) {
        char name[32];
        std::snprintf(name, sizeof name, "name.bin.%03d", p);
        std::ofstream out(JoinPath(folder, name), std::ios::binary);
        std::uint32_t crc = 0;
        for (std::uint64_t done = 0; done < partBytes;) {
            for (auto& w : block) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                w = x;
            }
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(partBytes - done, block.size() * 8));
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
            crc = Crc32Update(crc, block.data(), n);
            done += n;
        }
        char line[64];
        std::snprintf(line, sizeof line, "%s %08X\r\n", name, crc);
        sfv += line;
        parArgs += std::string(" ") + name;
    }
    std::ofstream(JoinPath(folder, "name.sfv"), std::ios::binary) << sfv;
    const std::string create = "cd '" + folder + "' && par2 c -q -q -s1048576 -c20 -n1 set.par2" + parArgs;
    if (std::system(create.c_str()) != 0) {
        std::fprintf(stderr, "par2 create failed\n");
        fs::remove_all(folder);
        return 1;
    }
    const double mb = static_cast<double>(totalBytes) / 1e6;
    std::printf("size_MB=%.0f\n", mb);

    // A plain copy of the same data on the same disk, and the join, taken in turns so both meet
    // the same cache state; the best of three rounds counts.
    CTestReceiver window;
    CPostProcContext ctx(window.Handle());
    double copyS = 1e30;
    double joinS = 1e30;
    for (int round = 0; round < 3; ++round) {
        ::sync();
        auto start = std::chrono::steady_clock::now();
        for (int p = 1; p <= kParts; ++p) {
            char name[32];
            std::snprintf(name, sizeof name, "name.bin.%03d", p);
            // The standard library copy (a kernel copy where the file system allows it).
            fs::copy_file(JoinPath(folder, name), JoinPath(folder, "copy." + std::to_string(p)),
                          fs::copy_options::overwrite_existing);
        }
        copyS = std::min(copyS, Seconds(start));
        for (int p = 1; p <= kParts; ++p)
            fs::remove(JoinPath(folder, "copy." + std::to_string(p)));

        ::sync();
        start = std::chrono::steady_clock::now();
        std::string rar;
        TJoinResult joined;
        JoinSplitFiles("/bench/name.nzb", JoinPath(folder, "set.par2"), rar, ctx, nullptr, &joined);
        joinS = std::min(joinS, Seconds(start));
        Drain(window);
        if (!joined.m_joined || fs::file_size(joined.m_target) != totalBytes) {
            std::fprintf(stderr, "join failed\n");
            fs::remove_all(folder);
            return 1;
        }
        fs::remove(joined.m_target);
    }
    const double copyMBps = mb / copyS;
    const double joinMBps = mb / joinS;
    std::printf("copy_MBps=%.0f\n", copyMBps);
    std::printf("join_MBps=%.0f\n", joinMBps);

    // Extraction of a stored archive of the same files, into a folder of its own.
    const std::string rarFolder = JoinPath(folder, "rar");
    fs::create_directories(rarFolder);
    std::vector<std::string> partFiles;
    for (int p = 1; p <= kParts; ++p) {
        char name[32];
        std::snprintf(name, sizeof name, "name.bin.%03d", p);
        partFiles.push_back(JoinPath(folder, name));
    }
    const std::string archive = JoinPath(rarFolder, "bench.rar");
    if (!WriteStoredRar5(archive, partFiles)) {
        std::fprintf(stderr, "cannot write the archive\n");
        fs::remove_all(folder);
        return 1;
    }
    double extractS = 1e30;
    bool extracted = true;
    for (int round = 0; round < 2 && extracted; ++round) {
        ::sync();
        const auto t0 = std::chrono::steady_clock::now();
        extracted = ExtractArchive(archive, "/bench/name.nzb", ctx, nullptr);
        extractS = std::min(extractS, Seconds(t0));
        Drain(window);
        for (int p = 1; p <= kParts; ++p) {
            char name[32];
            std::snprintf(name, sizeof name, "name.bin.%03d", p);
            const std::string out = JoinPath(rarFolder, name);
            extracted = extracted && fs::exists(out) && fs::file_size(out) == partBytes;
            fs::remove(out);
        }
    }
    fs::remove(archive);
    if (!extracted) std::fprintf(stderr, "extraction failed\n");
    const double extractMBps = mb / extractS;
    std::printf("extract_stored_MBps=%.0f\n", extractMBps);

    ::sync();
    auto start = std::chrono::steady_clock::now();
    ProcessSfvJob(CSFVJob(JoinPath(folder, "name.sfv"), folder, window.Handle()));
    const double sfvS = Seconds(start);
    std::size_t bad = 0;
    DrainSfv(window, bad);
    const double sfvMBps = mb / sfvS;
    std::printf("sfv_MBps=%.0f\n", sfvMBps);
    if (bad != 0) std::fprintf(stderr, "sfv: %zu files not ok\n", bad);

    ::sync();
    start = std::chrono::steady_clock::now();
    const bool verified = VerifyAndRepair(JoinPath(folder, "set.par2"), ctx);
    const double verifyS = Seconds(start);
    Drain(window);
    std::printf("par2_verify_s=%.2f\n", verifyS);
    if (!verified) std::fprintf(stderr, "par2 verification failed\n");

    fs::remove_all(folder);
    std::printf("join_vs_copy=%.2f\n", joinMBps / copyMBps);
    std::printf("extract_stored_vs_copy=%.2f\n", extractMBps / copyMBps);
    std::printf("sfv_vs_copy=%.2f\n", sfvMBps / copyMBps);
    return verified && bad == 0 && extracted ? 0 : 1;
}
