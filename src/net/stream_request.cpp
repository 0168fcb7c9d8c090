// The request sequence of one stream; see stream_request.hpp.
#include "net/stream_request.hpp"

#include <cstdio>

bool open_stream_request(NetSession* session, const char* url, uint64_t first, uint64_t end,
                         StreamRequest& stream) {
    stream.connection = nullptr;
    stream.request = nullptr;
    if (end != STREAM_TO_END && end <= first) return false;
    split_url(url, stream.host, stream.path);
    stream.connection = open_connection(session, stream.host);
    stream.request = open_get_request(stream.connection, stream.path);
    if (stream.request == nullptr) {
        close_stream_request(stream);
        return false;
    }
    if (first == 0 && end == STREAM_TO_END) return true;
    char text[64];
    if (end == STREAM_TO_END) {
        std::snprintf(text, sizeof text, "Range: bytes=%llu-",
                      static_cast<unsigned long long>(first));
    } else {
        std::snprintf(text, sizeof text, "Range: bytes=%llu-%llu",
                      static_cast<unsigned long long>(first),
                      static_cast<unsigned long long>(end - 1));
    }
    char16_t header[64];
    size_t i = 0;
    for (; text[i] != '\0'; ++i)
        header[i] = static_cast<char16_t>(text[i]);
    header[i] = u'\0';
    if (add_request_header(stream.request, header)) return true;
    close_stream_request(stream);
    return false;
}

bool receive_stream_answer(StreamRequest& stream, StreamAnswer* answer) {
    *answer = StreamAnswer{};
    if (!send_and_receive(stream.request) || !query_status_code(stream.request, &answer->status))
        return false;
    answer->has_range =
        query_content_range(stream.request, &answer->range_first, &answer->range_total);
    answer->has_length = query_content_length(stream.request, &answer->length);
    return true;
}

StreamRead read_stream_bytes(StreamRequest& stream, uint8_t* buffer, uint32_t capacity,
                             uint32_t* count) {
    *count = 0;
    uint32_t available = 0;
    if (!query_data_available(stream.request, &available)) return StreamRead::failed;
    if (available == 0) return StreamRead::complete;
    if (available > capacity) available = capacity;
    if (!read_data(stream.request, buffer, available, count)) return StreamRead::failed;
    // A read of nothing though bytes were announced ends the body, as the
    // single download takes it; the caller's size checks judge it.
    return *count == 0 ? StreamRead::complete : StreamRead::data;
}

void close_stream_request(StreamRequest& stream) {
    close_handle(stream.request);
    close_handle(stream.connection);
    stream.request = nullptr;
    stream.connection = nullptr;
}
