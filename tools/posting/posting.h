#pragma once
// Makes a sample Usenet posting for the tests, the benchmarks and the demo: source files of
// pseudo-random data, optionally a PAR2 recovery set (made with the real par2 program) and an
// SFV list, all yEnc-encoded into articles of a given size, an article folder that the local news
// server loads (files plus an "index"), and the NZB file that describes the posting.

#include <cstdint>
#include <string>
#include <vector>

namespace quivern::posting {

struct PostingOptions {
    std::string folder;  // receives source/, articles/ and posting.nzb
    std::string name = "sample";
    int files = 3;
    std::uint64_t fileSize = 1 << 20;
    std::uint32_t segmentSize = 716800;  // decoded bytes per article
    bool par2 = false;                   // a PAR2 set over the files (10 % redundancy)
    bool sfv = false;
    std::string group = "alt.binaries.quivern.demo";
    std::uint32_t seed = 1;
};

struct PostedFile {
    std::string name;
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
    std::vector<std::string> messageIds;  // without angle brackets, in segment order
};

struct Posting {
    std::string nzbPath;
    std::string articleFolder;
    std::string sourceFolder;
    std::vector<PostedFile> files;
    std::uint64_t articleBytes = 0;  // encoded bytes of all articles
};

// Returns false with a reason in *error when something cannot be written or par2 fails.
bool MakePosting(const PostingOptions& options, Posting& out, std::string* error);

// yEnc-encodes one part of a file into an article body (=ybegin ... =yend), 128-character lines.
std::string EncodeYEncPart(const std::uint8_t* data, std::size_t length, const std::string& name, int part,
                           int totalParts, std::uint64_t fileSize, std::uint64_t begin, std::uint32_t fileCrc,
                           bool lastPart);

}  // namespace quivern::posting
