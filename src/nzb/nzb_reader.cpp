// The NZB reader: one forward pass over the XML with libxml2's pull reader. Every object class
// reads the part of the document that belongs to it and leaves the reader after its element.
// There is no tolerance mode: one unreadable file or segment element makes the document invalid.
//
// Safety: network access is off, no external DTD is loaded, and external entities are never
// fetched (the process-wide entity loader refuses every request). Internal entities are expanded
// under libxml2's amplification limits, and its depth and text-length limits stay on, so hostile
// input fails quickly with bounded memory.

#include <libxml/parser.h>
#include <libxml/xmlreader.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "nzb/nzb_media.h"
#include "platform/text.h"

namespace quivern {
namespace {

xmlParserInputPtr RefuseExternalEntity(const char* /*url*/, const char* /*id*/, xmlParserCtxtPtr /*ctxt*/) {
    return nullptr;
}

void IgnoreStructuredError(void* /*ctx*/, xmlErrorPtr /*error*/) {}

void IgnoreGenericError(void* /*ctx*/, const char* /*msg*/, ...) {}

void InitLibxml() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
    });
}

// Reads the next node: 1 a node, 0 the end of the input, -1 an error.
int Next(xmlTextReaderPtr r) {
    return xmlTextReaderRead(r);
}

bool NameIs(xmlTextReaderPtr r, const char* name) {
    const xmlChar* n = xmlTextReaderConstLocalName(r);
    return n != nullptr && strcasecmp(reinterpret_cast<const char*>(n), name) == 0;
}

bool IsStart(xmlTextReaderPtr r) {
    return xmlTextReaderNodeType(r) == XML_READER_TYPE_ELEMENT;
}
bool IsEnd(xmlTextReaderPtr r) {
    return xmlTextReaderNodeType(r) == XML_READER_TYPE_END_ELEMENT;
}
bool IsText(xmlTextReaderPtr r) {
    return xmlTextReaderNodeType(r) == XML_READER_TYPE_TEXT;
}
bool IsEmptyElement(xmlTextReaderPtr r) {
    return xmlTextReaderIsEmptyElement(r) == 1;
}

std::string_view Value(xmlTextReaderPtr r) {
    const xmlChar* v = xmlTextReaderConstValue(r);
    return v == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(v));
}

// strtoul/strtol-like: leading blanks, an optional sign, decimal digits; saturating; 0 without
// digits. A negative value wraps like the C conversion does (unless saturated).
std::uint32_t ParseUnsigned32(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    std::uint64_t v = 0;
    bool saturated = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + static_cast<std::uint64_t>(s[i] - '0');
        if (v > UINT32_MAX) {
            saturated = true;
            break;
        }
    }
    if (saturated) return UINT32_MAX;
    const auto u = static_cast<std::uint32_t>(v);
    return neg ? static_cast<std::uint32_t>(0u - u) : u;
}

std::int32_t ParseSigned32(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    std::int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<std::int64_t>(INT32_MAX) + 1) break;
    }
    if (neg) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

// The date attribute: must begin with a number (a sign allowed); seconds since 1970 UTC.
bool ParseDate(std::string_view s, SystemTime& out) {
    std::size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    std::int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (v > (INT64_MAX - (s[i] - '0')) / 10) {
            v = INT64_MAX;
            break;
        }
        v = v * 10 + (s[i] - '0');
    }
    return UnixTimeToSystemTime(neg ? -v : v, out);
}

class NzbReader {
public:
    explicit NzbReader(xmlTextReaderPtr r) : m_r(r) {}

    // The document pass; returns false on a read error or an invalid part.
    bool ReadDocument(CNzbMedia& media) {
        bool inside = false;
        for (;;) {
            const int rc = Next(m_r);
            if (rc == 0) return true;
            if (rc < 0) return false;
            if (IsStart(m_r)) {
                if (IsEmptyElement(m_r)) continue;
                if (!inside) {
                    inside = NameIs(m_r, "nzb");
                } else if (NameIs(m_r, "file")) {
                    auto* part = new CNzbPart();
                    part->AddRef();
                    if (!ReadPart(*part)) {
                        part->Release();
                        return false;
                    }
                    media.m_parts.push_back(part);
                }
            } else if (inside && IsEnd(m_r) && NameIs(m_r, "nzb")) {
                return true;
            }
        }
    }

private:
    // Starts on the <file> start tag; reads to its end tag. Returns the part's validity.
    bool ReadPart(CNzbPart& part) {
        bool first = true;
        for (;;) {
            if (!first) {
                const int rc = Next(m_r);
                if (rc == 0) break;
                if (rc < 0) return false;
            }
            first = false;
            if (IsStart(m_r)) {
                if (NameIs(m_r, "file")) {
                    if (!ReadFileAttributes(part)) return false;
                } else if (NameIs(m_r, "groups")) {
                    auto* groups = new CNzbGroups();
                    groups->AddRef();
                    part.SetGroups(groups);
                    if (!ReadGroups(*groups)) return false;
                } else if (NameIs(m_r, "segments")) {
                    if (!ReadSegments(part)) return false;
                }
            } else if (IsEnd(m_r) && NameIs(m_r, "file")) {
                break;
            }
        }
        return part.Validate();
    }

    bool ReadFileAttributes(CNzbPart& part) {
        if (xmlTextReaderHasAttributes(m_r) != 1) return false;
        int counted = 0;
        bool ok = true;
        while (ok && xmlTextReaderMoveToNextAttribute(m_r) == 1) {
            if (xmlTextReaderIsDefault(m_r) == 1) continue;
            if (NameIs(m_r, "poster")) {
                part.m_poster = std::string(Value(m_r));
                ++counted;
            } else if (NameIs(m_r, "subject")) {
                part.m_subject = std::string(Value(m_r));
                ++counted;
            } else if (NameIs(m_r, "date")) {
                ok = ParseDate(Value(m_r), part.m_date);
                ++counted;
            }
        }
        xmlTextReaderMoveToElement(m_r);
        return ok && counted >= 3;
    }

    // Starts on <groups>. A <groups/> written as an empty element holds no name and so makes
    // the list (and the part) invalid.
    bool ReadGroups(CNzbGroups& groups) {
        if (IsEmptyElement(m_r)) return false;
        bool inGroup = false;
        for (;;) {
            const int rc = Next(m_r);
            if (rc == 0) break;
            if (rc < 0) return false;
            if (IsStart(m_r)) {
                if (NameIs(m_r, "group") && !IsEmptyElement(m_r)) inGroup = !inGroup;
            } else if (IsEnd(m_r)) {
                if (NameIs(m_r, "groups")) break;
                if (NameIs(m_r, "group")) inGroup = !inGroup;
            } else if (inGroup && IsText(m_r)) {
                m_scratch.clear();
                AppendUtf8AsCp1252(Value(m_r), m_scratch);
                if (!groups.AddGroup(m_scratch)) return false;
            }
        }
        return groups.m_valid;
    }

    // Starts on <segments>; an empty <segments/> adds nothing.
    bool ReadSegments(CNzbPart& part) {
        if (IsEmptyElement(m_r)) return true;
        for (;;) {
            const int rc = Next(m_r);
            if (rc == 0) return true;
            if (rc < 0) return false;
            if (IsStart(m_r)) {
                if (!NameIs(m_r, "segment")) continue;
                auto* article = new CNzbArticle();
                article->AddRef();
                if (!ReadArticle(*article)) {
                    article->Release();
                    return false;
                }
                part.AppendArticle(article);
            } else if (IsEnd(m_r) && NameIs(m_r, "segments")) {
                return true;
            }
        }
    }

    bool ReadArticle(CNzbArticle& a) {
        if (IsEmptyElement(m_r)) return false;
        if (xmlTextReaderHasAttributes(m_r) != 1) return false;
        while (xmlTextReaderMoveToNextAttribute(m_r) == 1) {
            if (xmlTextReaderIsDefault(m_r) == 1) continue;
            if (NameIs(m_r, "bytes")) {
                a.m_bytes = ParseUnsigned32(Value(m_r));
            } else if (NameIs(m_r, "number")) {
                a.m_number = ParseSigned32(Value(m_r));
            }
        }
        xmlTextReaderMoveToElement(m_r);
        if (a.m_bytes == 0 || a.m_number < 0) return false;
        for (;;) {
            const int rc = Next(m_r);
            if (rc <= 0) return false;
            const int type = xmlTextReaderNodeType(m_r);
            if (type == XML_READER_TYPE_TEXT) {
                std::string id;
                AppendUtf8AsCp1252(Value(m_r), id);
                a.m_messageId = std::move(id);
            } else if (type == XML_READER_TYPE_END_ELEMENT && NameIs(m_r, "segment")) {
                break;
            } else if (type == XML_READER_TYPE_ELEMENT) {
                return false;
            }
        }
        a.m_valid = a.m_messageId.has_value();
        return a.m_valid;
    }

    xmlTextReaderPtr m_r;
    std::string m_scratch;
};

}  // namespace

CNzbMedia::CNzbMedia(std::string path) : m_filePath(std::move(path)) {
    InitLibxml();
    // The reader shows no messages: libxml2's own error output (kept per thread) is silenced on
    // the thread that reads, also for the encoding and I/O errors it reports outside the reader.
    xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
    xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
    // No network, no external DTD, no attribute defaults added from a DTD we could not read;
    // internal entities expanded (the reader delivers values with entities resolved).
    const int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOWARNING | XML_PARSE_NOERROR;
    xmlTextReaderPtr r = xmlReaderForFile(m_filePath.c_str(), nullptr, options);
    if (r == nullptr) return;
    xmlTextReaderSetStructuredErrorHandler(r, IgnoreStructuredError, nullptr);
    NzbReader reader(r);
    const bool ok = reader.ReadDocument(*this);
    xmlFreeTextReader(r);
    if (!ok) {
        Clear();
        return;
    }
    bool valid = !m_parts.empty();
    for (const CNzbPart* p : m_parts)
        valid = valid && p->m_valid;
    m_valid = valid;
    if (!valid) Clear();
}

}  // namespace quivern
