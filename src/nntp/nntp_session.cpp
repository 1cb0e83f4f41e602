// The NNTP dialogue of a connection: one command, one reply, no pipelining.

#include <cstring>
#include <string>
#include <vector>

#include "nntp/nntp_socket.h"
#include "platform/text.h"

namespace quivern {
namespace {

// An optional "-" followed by at least one decimal digit.
bool ParseArticleNumber(std::string_view field, std::int64_t& value) {
    std::size_t i = 0;
    bool negative = false;
    if (!field.empty() && field[0] == '-') {
        negative = true;
        i = 1;
    }
    if (i >= field.size()) return false;
    std::int64_t result = 0;
    for (; i < field.size(); ++i) {
        const char c = field[i];
        if (c < '0' || c > '9') return false;
        result = result * 10 + (c - '0');
    }
    value = negative ? -result : result;
    return true;
}

}  // namespace

int CNntpSocket::Command(std::string_view line) {
    if (!SendAll(line)) return -1;
    std::size_t length = 0;
    const char* reply = Receive(ReadLine, nullptr, &length);
    if (reply == nullptr) return -1;
    return ReplyStatus(reply, length);
}

bool CNntpSocket::MapStatus(int status) {
    MapNntpStatus(status, m_error, m_retryable);
    return false;
}

bool CNntpSocket::Greeting() {
    // Early bytes left by the proxy are taken first by the receive; a partial line is completed
    // from the socket.
    std::size_t length = 0;
    const char* reply = Receive(ReadLine, nullptr, &length);
    if (reply == nullptr) return false;
    const int status = ReplyStatus(reply, length);
    if (status == 0) {
        m_error = kNntpBadReply;
        return MapStatus(status);
    }
    if (status != 200 && status != 201) return MapStatus(status);
    return true;
}

bool CNntpSocket::ModeReaderAndLogin() {
    int status = Command("MODE READER\r\n");
    if (status < 0) return false;
    if (status == 0) {
        m_error = kNntpBadReply;
        return MapStatus(status);
    }
    if (status != 200 && status != 201 && status != 480) return MapStatus(status);

    // Credentials are sent whenever both are configured, also when the server did not ask.
    if (m_entry.User().empty() || m_entry.Password().empty()) {
        if (status == 480) {
            m_error = kNntpAuthRequired;
            return false;
        }
        return true;
    }
    std::string line = "AUTHINFO USER ";
    AppendUtf8AsCp1252(m_entry.User(), line);
    line += "\r\n";
    status = Command(line);
    if (status < 0) return false;
    if (status == 0) {
        m_error = kNntpBadReply;
        return false;
    }
    if (status != 381) return MapStatus(status);

    line = "AUTHINFO PASS ";
    AppendUtf8AsCp1252(m_entry.Password(), line);
    line += "\r\n";
    status = Command(line);
    if (status < 0) return false;
    if (status == 0) {
        m_error = kNntpBadReply;
        return false;
    }
    if (status == 281) return true;
    return MapStatus(status);
}

bool CNntpSocket::SelectGroup(std::string_view group) {
    if (!m_group.empty() && EqualsIgnoreAsciiCase(m_group, group)) return true;
    m_groupLow = 0;
    m_groupHigh = 0;
    m_group.assign(group);
    std::string line = "GROUP ";
    line += group;
    line += "\r\n";
    if (!SendAll(line)) return false;
    std::size_t length = 0;
    const char* reply = Receive(ReadLine, nullptr, &length);
    if (reply == nullptr) return false;
    if (ReplyStatus(reply, length) != 211) {
        m_error = kNntpGroupFailed;
        return false;
    }
    std::string_view text(reply, length);
    const std::size_t end = text.find("\r\n");
    if (end != std::string_view::npos) text = text.substr(0, end);
    // status, estimated count, low, high, name: split at single spaces.
    std::string_view fields[5];
    std::size_t count = 0;
    while (count < 5) {
        const std::size_t space = count < 4 ? text.find(' ') : std::string_view::npos;
        fields[count++] = text.substr(0, space);
        if (space == std::string_view::npos) break;
        text.remove_prefix(space + 1);
    }
    std::int64_t low = 0;
    std::int64_t high = 0;
    if (count < 4 || !ParseArticleNumber(fields[2], low) || !ParseArticleNumber(fields[3], high)) {
        m_error = kNntpBadReply;
        return false;
    }
    m_groupLow = low;
    m_groupHigh = high;
    return true;
}

bool CNntpSocket::BracketMessageId(std::string_view messageId) {
    m_work.clear();
    m_work.reserve(messageId.size() + 3);
    if (messageId.size() >= 2 && messageId.front() == '<' && messageId.back() == '>') {
        m_work.assign(messageId);
    } else {
        m_work = "<";
        m_work += messageId;
        m_work += '>';
    }
    return true;
}

int CNntpSocket::ArticleCommand(std::string_view verb, std::string_view group, std::string_view messageId,
                                ReadMode mode, INntpReceiveObserver* job, const char** reply,
                                std::size_t* length) {
    m_error = 0;
    if (!m_connected || !m_sessionReady) return -1;
    if (!SelectGroup(group) || !BracketMessageId(messageId)) return -1;
    if (!SendAll(std::string(verb) + " " + m_work + "\r\n")) return -1;
    *length = 0;
    *reply = Receive(mode, job, length);
    return *reply == nullptr ? -1 : ReplyStatus(*reply, *length);
}

bool CNntpSocket::StatArticle(std::string_view group, std::string_view messageId, INntpReceiveObserver* job) {
    const char* reply = nullptr;
    std::size_t length = 0;
    const int status = ArticleCommand("STAT", group, messageId, ReadLine, job, &reply, &length);
    if (status < 0) return false;
    if (status == 223) return true;
    return MapStatus(status);
}

bool CNntpSocket::FetchArticle(std::string_view group, std::string_view messageId, INntpReceiveObserver* job,
                               std::string_view* article) {
    if (article != nullptr) *article = {};
    const char* reply = nullptr;
    std::size_t length = 0;
    const int status = ArticleCommand("ARTICLE", group, messageId, ReadMultiLine, job, &reply, &length);
    if (status < 0) return false;
    if (status != 220) return MapStatus(status);
    const std::string_view text(reply, length);
    const std::size_t statusEnd = text.find("\r\n");
    // The receive ends when the terminator is the last thing received, so it is looked for there
    // first; a reply cut short by the server is searched.
    std::size_t terminator = std::string_view::npos;
    if (statusEnd != std::string_view::npos) {
        terminator = length >= statusEnd + 5 && text.substr(length - 5) == "\r\n.\r\n"
                         ? length - 5
                         : text.find("\r\n.\r\n", statusEnd);
    }
    if (terminator == std::string_view::npos) {
        m_error = kNntpBadReply;
        return false;
    }
    const std::size_t cut = terminator + 2;
    m_buffer[cut] = '\0';
    if (article != nullptr) *article = std::string_view(m_buffer + statusEnd, cut - statusEnd);
    return true;
}

}  // namespace quivern
