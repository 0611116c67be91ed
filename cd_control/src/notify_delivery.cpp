#include "cd_control/src/notify_delivery.h"

#include <sys/ioctl.h>

#include <chrono>
#include <cstring>
#include <map>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

namespace zel_upnp {
namespace cd_control {

NotifyExchange::NotifyExchange(boost::asio::io_context& io, const std::string& host, int port,
                               std::string message, int deadlineMs, Done done, int graceMs,
                               Released released)
    : io_(io),
      socket_(io),
      deadline_(io),
      grace_(io),
      message_(std::move(message)),
      deadlineMs_(deadlineMs),
      answer_(kMaxNotifyAnswerHead),
      done_(std::move(done)),
      graceMs_(graceMs),
      released_(std::move(released)) {
    boost::system::error_code error;
    // An IPv6 callback host comes from the SUBSCRIBE check: no brackets, and
    // a link-local one with the zone of the interface it came on.
    const boost::asio::ip::address address = boost::asio::ip::make_address(host, error);
    if (!error && port > 0 && port <= 65535) {
        endpoint_ = boost::asio::ip::tcp::endpoint(address, static_cast<unsigned short>(port));
        endpointOk_ = true;
    }
}

void NotifyExchange::Start() {
    boost::shared_ptr<NotifyExchange> self = shared_from_this();
    boost::asio::post(io_, [self] {
        if (self->finished_)
            return;
        if (!self->endpointOk_)
            return self->Finish(false);
        self->deadline_.expires_after(std::chrono::milliseconds(self->deadlineMs_));
        self->deadline_.async_wait([self](const boost::system::error_code& error) {
            if (!error)
                self->Finish(false);
        });
        self->socket_.async_connect(
            self->endpoint_,
            [self](const boost::system::error_code& error) { self->OnConnected(error); });
    });
}

void NotifyExchange::Cancel() {
    boost::shared_ptr<NotifyExchange> self = shared_from_this();
    boost::asio::post(io_, [self] { self->Finish(false); });
}

void NotifyExchange::OnConnected(const boost::system::error_code& error) {
    if (finished_)
        return;
    if (error)
        return Finish(false);
    boost::shared_ptr<NotifyExchange> self = shared_from_this();
    boost::asio::async_write(
        socket_, boost::asio::buffer(message_),
        [self](const boost::system::error_code& e, size_t) { self->OnWritten(e); });
}

void NotifyExchange::OnWritten(const boost::system::error_code& error) {
    if (finished_)
        return;
    if (error)
        return Finish(false);
    boost::shared_ptr<NotifyExchange> self = shared_from_this();
    boost::asio::async_read_until(
        socket_, answer_, "\r\n\r\n",
        [self](const boost::system::error_code& e, size_t) { self->OnAnswer(e); });
    if (graceMs_ > 0 && released_)
        WatchAcknowledgement(graceMs_);
}

void NotifyExchange::WatchAcknowledgement(int delayMs) {
    boost::shared_ptr<NotifyExchange> self = shared_from_this();
    grace_.expires_after(std::chrono::milliseconds(delayMs));
    grace_.async_wait([self](const boost::system::error_code& error) {
        if (error || self->finished_ || !self->released_)
            return;
        // Bytes written but not yet acknowledged by the peer's TCP.
        int unacknowledged = 0;
        if (::ioctl(self->socket_.native_handle(), TIOCOUTQ, &unacknowledged) != 0 ||
            unacknowledged > 0)
            return self->WatchAcknowledgement(kAckPollMs);
        Released released;
        released.swap(self->released_);
        released();
    });
}

void NotifyExchange::OnAnswer(const boost::system::error_code& error) {
    if (finished_)
        return;
    // A subscriber that closes right after its status line has still
    // answered; a full buffer without a blank line has not.
    if (error && error != boost::asio::error::eof)
        return Finish(false);
    const char* data = static_cast<const char*>(answer_.data().data());
    const std::string head(data, answer_.size());
    const bool delivered =
        head.size() >= 12 && head.compare(0, 7, "HTTP/1.") == 0 && head[8] == ' ' && head[9] == '2';
    Finish(delivered);
}

void NotifyExchange::Finish(bool delivered) {
    if (finished_)
        return;
    finished_ = true;
    boost::system::error_code ignored;
    deadline_.cancel();
    grace_.cancel();
    socket_.close(ignored);
    released_.clear();
    Done done;
    done.swap(done_);
    if (done)
        done(delivered);
}

namespace {

// A property set as the merge sees it: the text before the first property,
// each property element whole with its variable's name, the text after the
// last one.
struct PropertySet {
    std::string head;
    std::vector<std::pair<std::string, std::string> > properties;
    std::string tail;
};

std::string LocalName(const std::string& name) {
    const size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

// Walks the tags of body: the root must be a propertyset whose children are
// property elements, each naming its variable by its first child element.
bool ReadPropertySet(const std::string& body, PropertySet& set) {
    int depth = 0;
    bool rootSeen = false;
    bool rootClosed = false;
    size_t firstProperty = std::string::npos;
    size_t propertyStart = std::string::npos;
    size_t lastPropertyEnd = std::string::npos;
    std::string variable;
    size_t pos = 0;
    while ((pos = body.find('<', pos)) != std::string::npos) {
        const char* skipTo = nullptr;
        if (body.compare(pos, 4, "<!--") == 0)
            skipTo = "-->";
        else if (body.compare(pos, 9, "<![CDATA[") == 0)
            skipTo = "]]>";
        else if (body.compare(pos, 2, "<?") == 0 || body.compare(pos, 2, "<!") == 0)
            skipTo = ">";
        if (skipTo != nullptr) {
            const size_t end = body.find(skipTo, pos);
            if (end == std::string::npos)
                return false;
            pos = end + std::strlen(skipTo);
            continue;
        }
        const size_t end = body.find('>', pos);
        if (end == std::string::npos || rootClosed)
            return false;
        const bool closing = body[pos + 1] == '/';
        const bool empty = !closing && body[end - 1] == '/';
        const size_t nameStart = pos + (closing ? 2 : 1);
        const size_t nameEnd = body.find_first_of(" \t\r\n/>", nameStart);
        const std::string name = LocalName(body.substr(nameStart, nameEnd - nameStart));
        if (closing) {
            if (depth == 0)
                return false;
            --depth;
            if (depth == 1) {
                if (variable.empty())
                    return false;
                set.properties.emplace_back(variable,
                                            body.substr(propertyStart, end + 1 - propertyStart));
                lastPropertyEnd = end + 1;
                variable.clear();
            }
            rootClosed = depth == 0;
        } else {
            if (depth == 0) {
                if (rootSeen || name != "propertyset" || empty)
                    return false;
                rootSeen = true;
            } else if (depth == 1) {
                if (name != "property" || empty)
                    return false;
                propertyStart = pos;
                if (firstProperty == std::string::npos)
                    firstProperty = pos;
            } else if (depth == 2 && variable.empty()) {
                variable = body.substr(nameStart, nameEnd - nameStart);
            }
            if (!empty)
                ++depth;
        }
        pos = end + 1;
    }
    if (!rootClosed || set.properties.empty())
        return false;
    set.head = body.substr(0, firstProperty);
    set.tail = body.substr(lastPropertyEnd);
    return true;
}

}  // namespace

bool MergePropertySets(const std::vector<const std::string*>& bodies, std::string& merged) {
    PropertySet first;
    std::vector<std::pair<std::string, std::string> > properties;
    std::map<std::string, size_t> index;
    for (const std::string* body : bodies) {
        PropertySet set;
        if (!ReadPropertySet(*body, set))
            return false;
        if (body == bodies.front())
            first = set;
        for (auto& property : set.properties) {
            auto found = index.find(property.first);
            if (found == index.end()) {
                index.emplace(property.first, properties.size());
                properties.push_back(std::move(property));
            } else {
                properties[found->second].second = std::move(property.second);
            }
        }
    }
    if (properties.empty())
        return false;
    std::string text = first.head;
    for (const auto& property : properties)
        text += property.second;
    merged = text + first.tail;
    return true;
}

bool IsPropertySet(const std::string& body) {
    PropertySet set;
    return ReadPropertySet(body, set);
}

namespace {

// Merges each run of two or more adjacent mergeable messages into its first.
void MergeRuns(std::deque<QueuedNotify>& queue, size_t& bytes) {
    std::deque<QueuedNotify> kept;
    size_t start = 0;
    while (start < queue.size()) {
        size_t end = start + 1;
        if (queue[start].mergeable) {
            while (end < queue.size() && queue[end].mergeable)
                ++end;
        }
        std::vector<const std::string*> bodies;
        for (size_t i = start; i < end; ++i)
            bodies.push_back(&queue[i].body);
        std::string merged;
        if (bodies.size() > 1 && MergePropertySets(bodies, merged)) {
            const uint32_t latest = queue[end - 1].seq;
            QueuedNotify into = std::move(queue[start]);
            into.seq = latest;
            for (size_t i = start + 1; i < end; ++i)
                into.gapBefore += queue[i].gapBefore;
            into.body.swap(merged);
            into.merged = true;
            kept.push_back(std::move(into));
        } else {
            for (size_t i = start; i < end; ++i)
                kept.push_back(std::move(queue[i]));
        }
        start = end;
    }
    queue.swap(kept);
    bytes = 0;
    for (const QueuedNotify& message : queue)
        bytes += message.body.size();
}

// Index of the message to drop, or queue.size() when none may go.
size_t DropCandidate(const std::deque<QueuedNotify>& queue) {
    size_t mergedOne = queue.size();
    for (size_t i = 0; i < queue.size(); ++i) {
        if (queue[i].initial)
            continue;
        if (!queue[i].merged)
            return i;
        if (mergedOne == queue.size())
            mergedOne = i;
    }
    return mergedOne;
}

}  // namespace

size_t CompactQueue(std::deque<QueuedNotify>& queue, size_t& bytes, size_t maxCount,
                    size_t maxBytes, Waiters& dropped, uint32_t& trailingGap) {
    MergeRuns(queue, bytes);
    size_t count = 0;
    while (queue.size() > 1 && (queue.size() > maxCount || bytes > maxBytes)) {
        const size_t victim = DropCandidate(queue);
        if (victim == queue.size())
            break;
        QueuedNotify& message = queue[victim];
        const uint32_t gap = message.gapBefore + (message.toAll ? 1u : 0u);
        if (victim + 1 < queue.size())
            queue[victim + 1].gapBefore += gap;
        else
            trailingGap += gap;
        if (message.waiter)
            dropped.push_back(message.waiter);
        bytes -= message.body.size();
        queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(victim));
        ++count;
    }
    return count;
}

}  // namespace cd_control
}  // namespace zel_upnp
