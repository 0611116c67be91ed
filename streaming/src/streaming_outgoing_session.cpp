#include "streaming/src/streaming_outgoing_session.h"

#include <cstdlib>
#include <exception>
#include <new>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include "streaming/src/streaming_client_utils.h"
#include "streaming/src/streaming_manager.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/httpparser.h"

namespace zel_upnp {
namespace streaming {

OutgoingSession::OutgoingSession(boost::asio::io_service& io_service,
                                 std::weak_ptr<StreamingManager> manager,
                                 const ClientAppCallbacks& callbacks, int client_id)
    : manager_(manager),
      callbacks_(callbacks),
      session_id_(client_id),
      socket_(io_service),
      resolver_(io_service),
      port_(0),
      client_handler_id_(0),
      request_type_(REQUEST_GET),
      response_(boost::make_shared<utils::HTTPInfo>()),
      buffer_(new char[kReceiveBufferSize]),
      head_bytes_(0),
      fully_sent_(false),
      request_chunked_(false),
      response_chunked_(false),
      response_has_length_(false),
      continue_seen_(false),
      response_complete_(false),
      reading_(false),
      active_(true),
      connected_(false) {}

OutgoingSession::~OutgoingSession() {
    ZEL_LOGD(ZEL_CORE_STREAMING, "~OutgoingSession, client_handler_id_=[%d] session_id_=[%d]",
             client_handler_id_, session_id_);
}

int OutgoingSession::Connect(const std::string& address, int port) {
    using boost::asio::ip::tcp;
    boost::lock_guard<boost::mutex> lock(mutex_);
    address_ = address;
    port_ = port;
    boost::system::error_code ec;
    tcp::resolver::iterator endpoints;
    try {
        tcp::resolver::query query(address, boost::lexical_cast<std::string>(port),
                                   tcp::resolver::query::numeric_service);
        endpoints = resolver_.resolve(query, ec);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Error: input string was not valid!");
        return STREAMING_CONNECT_FAILED;
    }
    if (ec) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", ec.message().c_str());
        return STREAMING_CONNECT_FAILED;
    }
    if (endpoints == tcp::resolver::iterator()) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Error: connect failed for all endpoints!");
        return STREAMING_CONNECT_FAILED;
    }
    boost::shared_ptr<OutgoingSession> self = shared_from_this();
    boost::asio::async_connect(socket_, endpoints,
                               [self](const boost::system::error_code& error,
                                      tcp::resolver::iterator) { self->CallbackConnect(error); });
    return STREAMING_SUCCESS;
}

void OutgoingSession::CallbackConnect(const boost::system::error_code& error) {
    if (error) {
        if (error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Error: %s", error.message().c_str());
        Fail(STATUS_CONNECTION_CLOSED);
        return;
    }
    boost::lock_guard<boost::mutex> lock(mutex_);
    boost::system::error_code ec;
    if (socket_.set_option(boost::asio::ip::tcp::no_delay(true), ec))
        ZEL_LOGW(ZEL_CORE_STREAMING, "Set option failed for no delay %s", ec.message().c_str());
    if (socket_.set_option(boost::asio::socket_base::receive_buffer_size(kSocketBufferSize), ec))
        ZEL_LOGW(ZEL_CORE_STREAMING, "Set option failed for recv size: err:%s",
                 ec.message().c_str());
    if (socket_.set_option(boost::asio::socket_base::send_buffer_size(kSocketBufferSize), ec))
        ZEL_LOGW(ZEL_CORE_STREAMING, "Set option failed for send size: err:%s",
                 ec.message().c_str());
    connected_ = true;
    PumpWrites();
}

int OutgoingSession::SendRequest(const ReqHeaderInfo* head) {
    std::string text;
    if (FormReqHeader(head, text) != STREAMING_SUCCESS) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Failed to form request header!");
        return kFormReqHeaderFailure;
    }
    std::unique_ptr<PendingWrite> item(new (std::nothrow) PendingWrite());
    if (item == nullptr)
        return STREAMING_NO_MEMORY;
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (!active_)
        return STREAMING_NO_SESSION;
    client_handler_id_ = CLIENT_HANDLER_ID;
    request_type_ = head->request_type;
    request_chunked_ = IsChunkedRequest(head);
    fully_sent_ = head->request_type == REQUEST_GET || head->request_type == REQUEST_HEAD ||
                  head->expect != nullptr;
    // A new request reads a new response.
    response_->CleanInfo();
    head_bytes_ = 0;
    head_text_.clear();
    framing_.Reset();
    continue_seen_ = false;
    response_chunked_ = false;
    response_has_length_ = false;
    response_complete_ = false;
    item->head = true;
    item->text.swap(text);
    item->read_body = fully_sent_;  // here: read the response once written
    return QueueWrite(std::move(item));
}

int OutgoingSession::SendPayload(void* data, unsigned int length, bool last) {
    boost::unique_lock<boost::mutex> lock(mutex_);
    if (!active_ || !connected_)
        return STREAMING_NO_SESSION;
    // An empty payload that is not the last writes nothing, but its
    // completion still comes after those of the writes before it.
    std::unique_ptr<PendingWrite> item(new (std::nothrow) PendingWrite());
    if (item != nullptr) {
        item->data = data;
        item->length = length;
        item->last = last;
        item->read_body = last;
        if (request_chunked_ && (length != 0 || last)) {
            item->framed =
                FrameChunks(static_cast<const char*>(data), length, last, item->framed_size);
            if (item->framed == nullptr)
                item.reset();
        }
    }
    if (item == nullptr) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Alloc Failure!");
        ShutDown();
        lock.unlock();
        gate_.Close();
        if (std::shared_ptr<StreamingManager> manager = manager_.lock())
            manager->RemoveClient(session_id_);
        return STREAMING_NO_MEMORY;
    }
    const int rc = QueueWrite(std::move(item));
    if (rc == STREAMING_SUCCESS && last)
        fully_sent_ = true;
    return rc;
}

int OutgoingSession::QueueWrite(std::unique_ptr<PendingWrite> item) {
    if (writes_.Full()) {
        ZEL_LOGW(ZEL_CORE_STREAMING, "Client %d has %zu writes queued; write refused", session_id_,
                 WriteQueue::kMaxQueuedWrites);
        return STREAMING_NO_MEMORY;
    }
    // The application's buffer is the library's once handed over with the
    // last flag, whatever becomes of the write.
    item->owns_data = item->last && !item->head;
    writes_.Push(std::move(item));
    PumpWrites();
    return STREAMING_SUCCESS;
}

void OutgoingSession::PumpWrites() {
    if (!active_ || !connected_ || writes_.Writing() || writes_.Empty())
        return;
    const PendingWrite& item = writes_.Start();
    if (item.head)
        ZEL_LOGD(ZEL_CORE_STREAMING, "Sending Request: [%s]", item.text.c_str());
    boost::shared_ptr<OutgoingSession> self = shared_from_this();
    if (item.Size() == 0 && !item.last) {
        // Completed from a handler of its own: an application that sends
        // again from on_write_done does not recurse.
        boost::asio::post(socket_.get_executor(),
                          [self] { self->CallbackWrite(boost::system::error_code()); });
        return;
    }
    boost::asio::async_write(socket_, boost::asio::buffer(item.Bytes(), item.Size()), WholeWrites(),
                             [self](const boost::system::error_code& error, std::size_t) {
                                 self->CallbackWrite(error);
                             });
}

void OutgoingSession::CallbackWrite(const boost::system::error_code& error) {
    std::unique_ptr<PendingWrite> item;  // freed after the lock
    bool report = false;
    int handler_id = 0;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        handler_id = client_handler_id_;
        item = writes_.Finish();
        if (!error && item) {
            if (item->read_body)
                StartRead();
            else
                report = writes_.AddCompletion(item->head ? 0 : item->length);
            PumpWrites();
        }
    }
    if (error || !item) {
        if (error && error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Error: %s", error.message().c_str());
        Fail(STATUS_CONNECTION_CLOSED);
        return;
    }
    unsigned int length = 0;
    while (report) {
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            report = writes_.ReportNext(&length);
        }
        if (report)
            gate_.Run([&] { callbacks_.on_write_done(handler_id, session_id_, length); });
    }
}

void OutgoingSession::StartRead() {
    // One read at a time; none once the final response is whole (it may
    // have come with the 100 head, before the body was sent).
    if (!active_ || reading_ || response_complete_)
        return;
    reading_ = true;
    boost::shared_ptr<OutgoingSession> self = shared_from_this();
    const bool head = response_->GetStatus() < utils::STAGE_HEADERS_DONE;
    socket_.async_read_some(
        boost::asio::buffer(buffer_.get(), kReceiveBufferSize),
        [self, head](const boost::system::error_code& error, std::size_t bytes) {
            {
                boost::lock_guard<boost::mutex> lock(self->mutex_);
                self->reading_ = false;
            }
            if (head)
                self->CallbackRead(error, bytes);
            else
                self->DataRecvdCallback(error, bytes);
        });
}

void OutgoingSession::CallbackRead(const boost::system::error_code& error, std::size_t bytes) {
    if (error) {
        if (error == boost::asio::error::eof)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception 1: SOCKET_CLOSED");
        else if (error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
        Fail(STATUS_CONNECTION_CLOSED);
        return;
    }
    HeadBytes(buffer_.get(), bytes);
}

void OutgoingSession::HeadBytes(const char* data, std::size_t size) {
    // Bytes that followed an interim head in the same read: the start of
    // the final response.
    std::string carried;
    for (;;) {
        const unsigned length = static_cast<unsigned>(size);
        if (utils::Parse(data, length, response_) != 0) {
            ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
            Fail(STATUS_PARSE_FAILURE);
            return;
        }
        response_->SetParsingStatus(utils::PARSING_CONTINUE);
        if (response_->GetStatus() < utils::STAGE_HEADERS_DONE) {
            bool over = false;
            {
                boost::lock_guard<boost::mutex> lock(mutex_);
                head_bytes_ += size;
                over = head_bytes_ > kMaxHeadSize;
                if (!over) {
                    head_text_.append(data, size);
                    StartRead();
                }
            }
            if (over) {
                ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
                Fail(STATUS_PARSE_FAILURE);
            }
            return;
        }
        ResHeaderInfo* head = FormResponseHeaderInfo(*response_);
        if (head == nullptr) {
            ZEL_LOGE(ZEL_CORE_STREAMING, "Alloc Failure!");
            Fail(STATUS_ALLOC_FAILURE);
            return;
        }
        unsigned body_length = 0;
        char* body = nullptr;
        bool complete = true;
        bool interim = false;
        std::string rest;
        int handler_id = 0;
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            handler_id = client_handler_id_;
            if (head->status_code == 100) {
                // The body goes out now; the final response is read after
                // it, or now when it already began in this read.
                interim = true;
                continue_seen_ = true;
                head_text_.append(data, size);
                const std::size_t end = HeadEnd(head_text_);
                if (end != std::string::npos)
                    rest = head_text_.substr(end);
                response_->CleanInfo();
                head_bytes_ = 0;
                head_text_.clear();
            } else {
                if (request_type_ == REQUEST_GET) {
                    response_chunked_ = IsChunked(head->transfer_encoding);
                    std::string value;
                    response_has_length_ = response_->GetHeaderValue("Content-Length", value) == 0;
                }
                complete = response_->GetState() == utils::MESSAGE_COMPLETE ||
                           request_type_ == REQUEST_HEAD;
                response_complete_ = complete;
                head_text_.clear();
                body = response_->GetBody(body_length);
            }
        }
        if (!gate_.Run([&] {
                callbacks_.on_response(handler_id, session_id_, head, body, body_length, complete);
            })) {
            FreeResponseHeader(head);
            std::free(body);
            return;
        }
        if (interim && !rest.empty()) {
            carried.swap(rest);
            data = carried.data();
            size = carried.size();
            continue;
        }
        if (interim)
            return;
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (active_ && !complete)
            StartRead();
        return;
    }
}

void OutgoingSession::DataRecvdCallback(const boost::system::error_code& error, std::size_t bytes) {
    // SendRequest sets the id under the lock from the application's thread.
    int handler_id = 0;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        handler_id = client_handler_id_;
    }
    if (error == boost::asio::error::eof) {
        ZEL_LOGI(ZEL_CORE_STREAMING, "EOF");
        bool until_close = false;
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            until_close =
                (request_type_ == REQUEST_GET && !response_chunked_ && !response_has_length_) ||
                response_->GetState() == utils::MESSAGE_COMPLETE;
        }
        if (!until_close) {
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception 2: SOCKET_CLOSED");
            Fail(STATUS_CONNECTION_CLOSED);
            return;
        }
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            response_complete_ = true;
        }
        gate_.Run([&] { callbacks_.on_response_data(handler_id, session_id_, nullptr, 0, true); });
        boost::lock_guard<boost::mutex> lock(mutex_);
        ShutDown();
        return;
    }
    if (error) {
        if (error != boost::asio::error::operation_aborted)
            ZEL_LOGE(ZEL_CORE_STREAMING, "Exception: %s", error.message().c_str());
        Fail(STATUS_CONNECTION_CLOSED);
        return;
    }
    ZEL_LOGI(ZEL_CORE_STREAMING, "received data bytes_read = [%d]", static_cast<int>(bytes));
    const unsigned length = static_cast<unsigned>(bytes);
    if (utils::Parse(buffer_.get(), length, response_) != 0) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
        Fail(STATUS_PARSE_FAILURE);
        return;
    }
    response_->SetParsingStatus(utils::PARSING_CONTINUE);
    unsigned data_length = 0;
    char* data = response_->GetBody(data_length);
    if (framing_.Exceeded(bytes, data_length)) {
        ZEL_LOGE(ZEL_CORE_STREAMING, "Parsing Failure!");
        std::free(data);
        Fail(STATUS_PARSE_FAILURE);
        return;
    }
    const bool complete = response_->GetState() == utils::MESSAGE_COMPLETE;
    if (complete) {
        boost::lock_guard<boost::mutex> lock(mutex_);
        response_complete_ = true;
    }
    if (!gate_.Run([&] {
            callbacks_.on_response_data(handler_id, session_id_, data, data_length, complete);
        }))
        std::free(data);
    if (complete)
        return;
    ZEL_LOGI(ZEL_CORE_STREAMING, "registering for async_read");
    boost::lock_guard<boost::mutex> lock(mutex_);
    StartRead();
}

void OutgoingSession::Fail(int code) {
    int handler_id = 0;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        handler_id = client_handler_id_;
        ShutDown();
    }
    // Only the first close reports: a session closed on request stays quiet.
    if (!gate_.Close([&] { callbacks_.on_status(handler_id, session_id_, code); }))
        return;
    if (std::shared_ptr<StreamingManager> manager = manager_.lock())
        manager->RemoveClient(session_id_);
}

void OutgoingSession::ShutDown() {
    if (!active_ && !socket_.is_open())
        return;
    active_ = false;
    ZEL_LOGD(ZEL_CORE_STREAMING,
             "Closing outgoing session, client_handler_id_=[%d] session_id_=[%d]",
             client_handler_id_, session_id_);
    boost::system::error_code ec;
    resolver_.cancel();
    writes_.DropWaiting();
    if (socket_.is_open()) {
        if (socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec) &&
            ec != boost::asio::error::not_connected)
            ZEL_LOGD(ZEL_CORE_STREAMING, "Error in shutting down TCP socket!");
        if (socket_.close(ec))
            ZEL_LOGE(ZEL_CORE_STREAMING, "Error in closing TCP socket!");
    }
}

void OutgoingSession::CloseConnection() {
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        ShutDown();
    }
    gate_.Close();
}

}  // namespace streaming
}  // namespace zel_upnp
