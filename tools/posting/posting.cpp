#include "posting.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "nntp/decode/crc32.h"

namespace quivern::posting {
namespace {

namespace fs = std::filesystem;

// xorshift64*: fast, deterministic pseudo-random bytes.
void FillRandom(std::vector<std::uint8_t>& buf, std::uint64_t& state) {
    std::size_t i = 0;
    for (; i + 8 <= buf.size(); i += 8) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const std::uint64_t v = state * 0x2545F4914F6CDD1DULL;
        std::memcpy(&buf[i], &v, 8);
    }
    for (; i < buf.size(); ++i)
        buf[i] = static_cast<std::uint8_t>(state >> (i % 8 * 8));
}

bool WriteFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

bool ReadFile(const std::string& path, std::vector<std::uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    out.resize(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(in);
}

std::string Hex8(std::uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

std::string XmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool RunPar2(const std::string& folder, const std::string& base, const std::vector<std::string>& files,
             std::string* error) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (::chdir(folder.c_str()) != 0) _exit(127);
        std::vector<std::string> args = {"par2", "create", "-q", "-q", "-r10", "-n2", base + ".par2"};
        args.insert(args.end(), files.begin(), files.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp("par2", argv.data());
        _exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (error) *error = "par2 create failed (is the par2 program installed?)";
        return false;
    }
    return true;
}

}  // namespace

std::string EncodeYEncPart(const std::uint8_t* data, std::size_t length, const std::string& name, int part,
                           int totalParts, std::uint64_t fileSize, std::uint64_t begin, std::uint32_t fileCrc,
                           bool lastPart) {
    std::string out;
    out.reserve(length + length / 50 + 512);
    out += "=ybegin part=" + std::to_string(part) + " total=" + std::to_string(totalParts) +
           " line=128 size=" + std::to_string(fileSize) + " name=" + name + "\r\n";
    out += "=ypart begin=" + std::to_string(begin + 1) + " end=" + std::to_string(begin + length) + "\r\n";
    std::size_t col = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const auto v = static_cast<std::uint8_t>(data[i] + 42);
        const bool edge = col == 0 || col == 127 || i + 1 == length;
        const bool critical = v == 0 || v == '\n' || v == '\r' || v == '=' ||
                              ((v == ' ' || v == '\t') && edge) || (v == '.' && col == 0);
        if (critical) {
            out += '=';
            out += static_cast<char>(v + 64);
            col += 2;
        } else {
            out += static_cast<char>(v);
            col += 1;
        }
        if (col >= 128) {
            out += "\r\n";
            col = 0;
        }
    }
    if (col != 0) out += "\r\n";
    out += "=yend size=" + std::to_string(length) + " part=" + std::to_string(part) +
           " pcrc32=" + Hex8(Crc32(data, length));
    if (lastPart) out += " crc32=" + Hex8(fileCrc);
    out += "\r\n";
    return out;
}

bool MakePosting(const PostingOptions& o, Posting& out, std::string* error) {
    std::error_code ec;
    out = Posting{};
    out.sourceFolder = o.folder + "/source";
    out.articleFolder = o.folder + "/articles";
    out.nzbPath = o.folder + "/" + o.name + ".nzb";
    fs::create_directories(out.sourceFolder, ec);
    fs::create_directories(out.articleFolder, ec);
    if (ec) {
        if (error) *error = "cannot create " + o.folder;
        return false;
    }
    std::vector<std::string> names;
    std::uint64_t state = 0x9E3779B97F4A7C15ULL ^ o.seed;
    std::vector<std::uint8_t> buf;
    for (int i = 0; i < o.files; ++i) {
        char name[128];
        std::snprintf(name, sizeof name, "%s.part%02d.bin", o.name.c_str(), i + 1);
        buf.resize(static_cast<std::size_t>(o.fileSize));
        FillRandom(buf, state);
        if (!WriteFile(out.sourceFolder + "/" + name, buf.data(), buf.size())) {
            if (error) *error = std::string("cannot write ") + name;
            return false;
        }
        names.push_back(name);
    }
    std::vector<std::string> dataFiles = names;
    if (o.par2 && !RunPar2(out.sourceFolder, o.name, dataFiles, error)) return false;
    if (o.sfv) {
        std::string sfv = "; made by quivern-mkposting\r\n";
        for (const auto& n : dataFiles)
            sfv += n + " " + Hex8(FileCrc32(out.sourceFolder + "/" + n)) + "\r\n";
        if (!WriteFile(out.sourceFolder + "/" + o.name + ".sfv", sfv.data(), sfv.size())) return false;
    }
    // Every file of the source folder is posted, in name order.
    std::vector<std::string> all;
    for (const auto& e : fs::directory_iterator(out.sourceFolder))
        all.push_back(e.path().filename().string());
    std::sort(all.begin(), all.end());

    std::string nzb =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<!DOCTYPE nzb PUBLIC \"-//newzBin//DTD NZB 1.1//EN\" "
        "\"http://www.newzbin.com/DTD/nzb/nzb-1.1.dtd\">\n"
        "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n <head><meta type=\"title\">" +
        XmlEscape(o.name) + "</meta></head>\n";
    std::string index = "# message-id file groups\n";
    int fileNo = 0;
    for (const auto& n : all) {
        ++fileNo;
        std::vector<std::uint8_t> data;
        if (!ReadFile(out.sourceFolder + "/" + n, data)) return false;
        PostedFile pf;
        pf.name = n;
        pf.size = data.size();
        pf.crc32 = Crc32(data.data(), data.size());
        const int parts =
            std::max<int>(1, static_cast<int>((data.size() + o.segmentSize - 1) / o.segmentSize));
        const std::string subjectBase =
            "[" + std::to_string(fileNo) + "/" + std::to_string(all.size()) + "] - \"" + n + "\" yEnc";
        const std::string subject = subjectBase + " (1/" + std::to_string(parts) + ")";
        nzb += " <file poster=\"Quivern &lt;demo@quivern.invalid&gt;\" date=\"1765411200\" subject=\"" +
               XmlEscape(subject) + "\">\n  <groups><group>" + o.group + "</group></groups>\n  <segments>\n";
        for (int p = 1; p <= parts; ++p) {
            const std::uint64_t begin = static_cast<std::uint64_t>(p - 1) * o.segmentSize;
            const std::size_t len =
                static_cast<std::size_t>(std::min<std::uint64_t>(o.segmentSize, data.size() - begin));
            const std::string id = "part" + std::to_string(p) + "of" + std::to_string(parts) + "." +
                                   std::to_string(o.seed) + "." + n + "@quivern.invalid";
            const std::string body = EncodeYEncPart(data.data() + begin, len, n, p, parts, data.size(), begin,
                                                    pf.crc32, p == parts);
            const std::string article = "From: Quivern <demo@quivern.invalid>\r\nNewsgroups: " + o.group +
                                        "\r\nSubject: " + subjectBase + " (" + std::to_string(p) + "/" +
                                        std::to_string(parts) + ")\r\nMessage-ID: <" + id + ">\r\n\r\n" +
                                        body;
            const std::string file = "a" + std::to_string(fileNo) + "_" + std::to_string(p);
            if (!WriteFile(out.articleFolder + "/" + file, article.data(), article.size())) return false;
            index += "<" + id + "> " + file + " " + o.group + "\n";
            nzb += "   <segment bytes=\"" + std::to_string(body.size()) + "\" number=\"" + std::to_string(p) +
                   "\">" + XmlEscape(id) + "</segment>\n";
            out.articleBytes += body.size();
            pf.messageIds.push_back(id);
        }
        nzb += "  </segments>\n </file>\n";
        out.files.push_back(std::move(pf));
    }
    nzb += "</nzb>\n";
    if (!WriteFile(out.articleFolder + "/index", index.data(), index.size()) ||
        !WriteFile(out.nzbPath, nzb.data(), nzb.size())) {
        if (error) *error = "cannot write the index or the NZB file";
        return false;
    }
    return true;
}

}  // namespace quivern::posting
