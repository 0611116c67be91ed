#include "streaming/src/streaming_outgoing_sync_session.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include "streaming/src/streaming_client_utils.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/httpparser.h"

namespace zel_upnp {
namespace streaming {

constexpr int OutgoingSyncSession::kResolveWaitSeconds;

OutgoingSyncSession::OutgoingSyncSession(boost::asio::io_service& io_service, int client_id)
    : client_id_(client_id),
      socket_(io_service),
      resolver_(io_service),
      strand_(io_service),
      resolve_done_(false),
      resolving_(false),
      abandoned_(false),
      connected_(false),
      closed_(false),
      request_chunked_(false),
      request_type_(REQUEST_GET),
      head_read_(false),
      head_bytes_(0),
      response_(boost::make_shared<utils::HTTPInfo>()),
      body_left_(0),
      direct_(false) {}

OutgoingSyncSession::~OutgoingSyncSession() {
    ZEL_LOGD(ZEL_CORE_STREAMING, "~OutgoingSyncSession id [%d]", client_id_);
}

int OutgoingSyncSession::Connect(const std::string& address, int port) {
    using boost::asio::ip::tcp;
    std::unique_ptr<tcp::resolver::query> query;
    try {
        query.reset(new tcp::resolver::query(address, boost::lexical_cast<std::string>(port),
                                             tcp::resolver::query::numeric_service));
    } catch (const std::exception&) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Error: input string was not valid!");
        return STREAMING_CONNECT_FAILED;
    }
    boost::unique_lock<boost::mutex> lock(resolve_mutex_);
    if (connected_ || resolving_)
        return connected_ ? STREAMING_SUCCESS : STREAMING_CONNECT_FAILED;
    resolve_done_ = false;
    resolving_ = true;
    abandoned_ = false;
    boost::shared_ptr<OutgoingSyncSession> self = shared_from_this();
    std::shared_ptr<tcp::resolver::query> shared_query(std::move(query));
    strand_.post([self, shared_query] {
        self->resolver_.async_resolve(
            *shared_query, self->strand_.wrap([self](const boost::system::error_code& error,
                                                     tcp::resolver::iterator endpoints) {
                if (error) {
                    ZEL_LOGE(ZEL_CORE_STREAMING, "Resolve error [%s]", error.message().c_str());
                    self->ConnectDone(false);
                    return;
                }
                ZEL_LOGD(ZEL_CORE_STREAMING, "Invoking Sync Connect on socket");
                boost::asio::async_connect(
                    self->socket_, endpoints,
                    self->strand_.wrap(
                        [self](const boost::system::error_code& ec, tcp::resolver::iterator) {
                            if (ec)
                                ZEL_LOGE(ZEL_CORE_STREAMING, "Unknown error in connect!");
                            else
                                ZEL_LOGD(ZEL_CORE_STREAMING, "Sync Connect success");
                            self->ConnectDone(!ec);
                        }));
            }));
    });
    ZEL_LOGI(ZEL_CORE_STREAMING, "Sleeping for %d seconds for the resolve", kResolveWaitSeconds);
    const boost::chrono::steady_clock::time_point deadline =
        boost::chrono::steady_clock::now() + boost::chrono::seconds(kResolveWaitSeconds);
    while (!resolve_done_) {
        if (resolve_complete_condition_.wait_until(lock, deadline) == boost::cv_status::timeout &&
            !resolve_done_) {
            ZEL_LOGE(ZEL_CORE_STREAMING, "Error: timed_wait failed!");
            ZEL_LOGD(ZEL_CORE_STREAMING, "invoking resolver.cancel()");
            // The attempt ends on the strand; until then a new Connect is
            // refused.
            abandoned_ = true;
            strand_.post([self] {
                self->resolver_.cancel();
                boost::system::error_code ignored;
                self->socket_.cancel(ignored);
            });
            break;
        }
    }
    if (!connected_) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Error: connect failed!");
        return STREAMING_CONNECT_FAILED;
    }
    ZEL_LOGD(ZEL_CORE_STREAMING, "Socket connected");
    return STREAMING_SUCCESS;
}

void OutgoingSyncSession::ConnectDone(bool connected) {
    boost::lock_guard<boost::mutex> lock(resolve_mutex_);
    if (abandoned_ && connected) {
        // Came too late: the caller was told it failed.
        boost::system::error_code ignored;
        socket_.close(ignored);
        connected = false;
    }
    connected_ = connected;
    resolve_done_ = true;
    resolving_ = false;
    abandoned_ = false;
    ZEL_LOGD(ZEL_CORE_STREAMING, "resolve_complete_condition_ notifying condition");
    resolve_complete_condition_.notify_all();
}

int OutgoingSyncSession::WriteAll(const char* data, std::size_t length) {
    boost::system::error_code ec;
    boost::asio::write(socket_, boost::asio::buffer(data, length), WholeWrites(), ec);
    if (ec) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Write to socket failed! Error: [%s]", ec.message().c_str());
        return STREAMING_SOCKET_FAILURE;
    }
    return STREAMING_SUCCESS;
}

int OutgoingSyncSession::WriteHead(const ReqHeaderInfo* head) {
    std::string text;
    if (FormReqHeader(head, text) != STREAMING_SUCCESS)
        return kFormReqHeaderFailure;
    request_chunked_ = IsChunkedRequest(head);
    request_type_ = head->request_type;
    return WriteAll(text.data(), text.size());
}

int OutgoingSyncSession::WritePayload(void* data, unsigned int length, bool last) {
    if (!request_chunked_)
        return WriteAll(static_cast<const char*>(data), length);
    std::size_t size = 0;
    char* framed = FrameChunks(static_cast<const char*>(data), length, last, size);
    if (framed == nullptr)
        return STREAMING_NO_MEMORY;
    const int rc = WriteAll(framed, size);
    std::free(framed);
    return rc;
}

int OutgoingSyncSession::ReadSome(std::size_t& bytes) {
    boost::system::error_code ec;
    bytes = socket_.read_some(boost::asio::buffer(buffer_, sizeof(buffer_)), ec);
    if (ec == boost::asio::error::eof &&
        response_->GetBodyEncoding() == utils::ENCODING_UNTIL_CLOSE && head_read_) {
        // The end of a body that runs until the server closes.
        bytes = 0;
        return STREAMING_SUCCESS;
    }
    if (ec) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "[OutgoingSyncSession] read_some failed! ec = [%s]",
                 ec.message().c_str());
        return STREAMING_SOCKET_FAILURE;
    }
    return Feed(buffer_, bytes);
}

int OutgoingSyncSession::Feed(const char* data, std::size_t bytes) {
    const unsigned length = static_cast<unsigned>(bytes);
    if (utils::Parse(data, length, response_) != 0) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
        Close();
        return STREAMING_PARSE_FAILURE;
    }
    response_->SetParsingStatus(utils::PARSING_CONTINUE);
    return STREAMING_SUCCESS;
}

bool OutgoingSyncSession::ResponseComplete() const {
    return response_->GetState() == utils::MESSAGE_COMPLETE || request_type_ == REQUEST_HEAD ||
           (direct_ && body_left_ == 0);
}

void OutgoingSyncSession::CountBody(std::size_t length) {
    if (response_->GetBodyEncoding() == utils::ENCODING_CONTENT_LENGTH)
        body_left_ -= std::min<uint64_t>(body_left_, length);
}

int OutgoingSyncSession::ReadHeader(ResHeaderInfo** head, void** body, unsigned int& body_length,
                                    bool& complete) {
    if (head_read_) {
        response_->CleanInfo();
        head_read_ = false;
    }
    head_bytes_ = 0;
    framing_.Reset();
    head_text_.clear();
    while (response_->GetStatus() < utils::STAGE_HEADERS_DONE) {
        std::size_t bytes = 0;
        int rc = STREAMING_SUCCESS;
        if (!carried_.empty()) {
            // What followed an interim head in its read begins this head.
            head_text_.swap(carried_);
            carried_.clear();
            bytes = head_text_.size();
            rc = Feed(head_text_.data(), bytes);
        } else {
            rc = ReadSome(bytes);
            head_text_.append(buffer_, bytes);
        }
        if (rc != STREAMING_SUCCESS)
            return rc;
        head_bytes_ += bytes;
        if (response_->GetStatus() < utils::STAGE_HEADERS_DONE && head_bytes_ > kMaxHeadSize) {
            ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
            Close();
            return STREAMING_PARSE_FAILURE;
        }
    }
    head_read_ = true;
    direct_ = false;
    body_left_ = response_->GetContentLength();
    if (response_->GetStatusCode() == 100) {
        const std::size_t end = HeadEnd(head_text_);
        if (end != std::string::npos)
            carried_ = head_text_.substr(end);
    }
    head_text_.clear();
    ResHeaderInfo* info = FormResponseHeaderInfo(*response_);
    if (info == nullptr) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Alloc Failure!");
        return STREAMING_NO_MEMORY;
    }
    unsigned length = 0;
    *body = response_->GetBody(length);
    body_length = length;
    CountBody(length);
    *head = info;
    complete = ResponseComplete();
    return STREAMING_SUCCESS;
}

int OutgoingSyncSession::ReadData(void** data, unsigned int& length, bool& complete) {
    *data = nullptr;
    length = 0;
    if (head_read_ && ResponseComplete()) {
        complete = true;
        return STREAMING_SUCCESS;
    }
    if (direct_) {
        // The parser has been bypassed for this body: keep going that way.
        const std::size_t size =
            static_cast<std::size_t>(std::min<uint64_t>(kReadBufferSize, body_left_));
        void* block = std::malloc(size);
        if (block == nullptr)
            return STREAMING_NO_MEMORY;
        const int rc = ReadDataInto(block, static_cast<unsigned>(size), length, complete);
        if (rc != STREAMING_SUCCESS || length == 0)
            std::free(block);
        else
            *data = block;
        return rc;
    }
    std::size_t bytes = 0;
    int rc = ReadSome(bytes);
    if (rc != STREAMING_SUCCESS) {
        if (rc == STREAMING_SOCKET_FAILURE)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Error: Socket read failed! Error Code [%d]", rc);
        return rc;
    }
    unsigned body_length = 0;
    char* body = response_->GetBody(body_length);
    if (framing_.Exceeded(bytes, body_length)) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
        std::free(body);
        Close();
        return STREAMING_PARSE_FAILURE;
    }
    CountBody(body_length);
    *data = body;
    length = body_length;
    complete = ResponseComplete() ||
               (bytes == 0 && response_->GetBodyEncoding() == utils::ENCODING_UNTIL_CLOSE);
    return STREAMING_SUCCESS;
}

int OutgoingSyncSession::ReadDataInto(void* buffer, unsigned int capacity, unsigned int& length,
                                      bool& complete) {
    length = 0;
    complete = false;
    if (head_read_ && ResponseComplete()) {
        complete = true;
        return STREAMING_SUCCESS;
    }
    const utils::HTTPBodyEncoding encoding = response_->GetBodyEncoding();
    const bool plain = head_read_ && (encoding == utils::ENCODING_CONTENT_LENGTH ||
                                      encoding == utils::ENCODING_UNTIL_CLOSE);
    std::size_t want = capacity;
    if (plain && encoding == utils::ENCODING_CONTENT_LENGTH)
        want = static_cast<std::size_t>(std::min<uint64_t>(want, body_left_));
    boost::system::error_code ec;
    const std::size_t bytes = socket_.read_some(boost::asio::buffer(buffer, want), ec);
    if (ec == boost::asio::error::eof && encoding == utils::ENCODING_UNTIL_CLOSE && head_read_) {
        complete = true;
        return STREAMING_SUCCESS;
    }
    if (ec) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Error: Socket read failed! Error Code [%s]",
                 ec.message().c_str());
        return STREAMING_SOCKET_FAILURE;
    }
    if (plain) {
        // No framing to take off: the bytes are the body, in place.
        if (encoding == utils::ENCODING_CONTENT_LENGTH) {
            direct_ = true;
            body_left_ -= bytes;
        }
        length = static_cast<unsigned>(bytes);
        complete = ResponseComplete();
        return STREAMING_SUCCESS;
    }
    // Chunked: the parser takes the framing off into its own block, which
    // is never longer than the bytes it was fed.
    const int rc = Feed(static_cast<const char*>(buffer), bytes);
    if (rc != STREAMING_SUCCESS)
        return rc;
    unsigned body_length = 0;
    char* body = response_->GetBody(body_length);
    if (framing_.Exceeded(bytes, body_length) || body_length > bytes) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
        std::free(body);
        Close();
        return STREAMING_PARSE_FAILURE;
    }
    if (body_length > 0)
        std::memcpy(buffer, body, body_length);
    std::free(body);
    length = body_length;
    complete = ResponseComplete();
    return STREAMING_SUCCESS;
}

void OutgoingSyncSession::Close() {
    ZEL_LOGD(ZEL_CORE_STREAMING, "closing OutgoingSyncSession id [%d]", client_id_);
    {
        boost::lock_guard<boost::mutex> lock(resolve_mutex_);
        if (closed_)
            return;
        closed_ = true;
        if (resolving_) {
            // The connect under way is the strand's: it is cancelled there
            // and its completion finds the session abandoned.
            ZEL_LOGD(ZEL_CORE_STREAMING, "invoking resolver.cancel()");
            abandoned_ = true;
            boost::shared_ptr<OutgoingSyncSession> self = shared_from_this();
            strand_.post([self] {
                self->resolver_.cancel();
                boost::system::error_code ignored;
                self->socket_.close(ignored);
            });
            return;
        }
    }
    ZEL_LOGD(ZEL_CORE_STREAMING, "Closing socket OutgoingSyncSession id [%d]", client_id_);
    boost::system::error_code ec;
    if (socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec))
        ZEL_LOGD(ZEL_CORE_STREAMING,
                 "OutgoingSyncSession Socket shutdown error, possibly shutdown already!");
    if (socket_.close(ec))
        ZEL_LOGE(ZEL_CORE_STREAMING, "Error [%s] in closing sync socket!", ec.message().c_str());
    else
        ZEL_LOGD(ZEL_CORE_STREAMING, "sync socket closed");
}

}  // namespace streaming
}  // namespace zel_upnp
