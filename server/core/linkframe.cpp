#include "server/core/linkframe.h"

namespace {

constexpr std::uint8_t STX_BYTE = 0x02;
constexpr std::uint8_t ETX_BYTE = 0x03;
constexpr std::uint8_t ACK_BYTE = 0x06;
constexpr std::uint8_t SO_BYTE = 0x0E;
constexpr std::uint8_t SI_BYTE = 0x0F;

// Collects frame bytes and hands them on in chunks of a little more than `chunk` bytes.
struct Collector {
    std::uint8_t buffer[LINK_CHUNK_MAX];
    int count = 0;
    int chunk;
    LinkWrite write;
    void* context;

    Collector(int chunk_size, LinkWrite writer, void* writer_context)
        : chunk(chunk_size < 1 ? 1 : (chunk_size > LINK_CHUNK_MAX - LINK_ENCODED_MAX ? LINK_CHUNK_MAX - LINK_ENCODED_MAX : chunk_size)),
          write(writer), context(writer_context) {}

    // Raw bytes; hands on the buffer once more than chunk bytes are in it.
    void put(const std::uint8_t* bytes, int n) {
        for (int i = 0; i < n; ++i)
            buffer[count++] = bytes[i];
        if (count > chunk)
            flush();
    }
    void put(std::uint8_t byte) { put(&byte, 1); }
    void put_data(std::uint8_t byte, bool use_si) {
        std::uint8_t encoded[LINK_ENCODED_MAX];
        put(encoded, link_encode_byte(byte, use_si, encoded));
    }
    void flush() {
        if (count > 0)
            write(context, buffer, count);
        count = 0;
    }
};

} // namespace

bool link_is_escaped(std::uint8_t value) {
    switch (value) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06:
    case 0x0E: case 0x0F: case 0x10: case 0x11: case 0x12:
    case 0x15: case 0x16: case 0x17:
        return true;
    default:
        return false;
    }
}

int link_encode_byte(std::uint8_t byte, bool use_si, std::uint8_t* out) {
    int n = 0;
    std::uint8_t v = byte;
    if (use_si && v >= 0x80) {
        out[n++] = SI_BYTE;
        v = static_cast<std::uint8_t>(v - 0x80);
    }
    if (link_is_escaped(v)) {
        out[n++] = SO_BYTE;
        out[n++] = static_cast<std::uint8_t>(v + 0x20);
    } else {
        out[n++] = v;
    }
    return n;
}

// After SO the byte is data - 0x20 whatever it is; after SI an SO opens the third state, anything
// else is data + 0x80. So escapes never chain beyond SI SO.
int link_decode(std::uint8_t* state, std::uint8_t byte) {
    switch (*state) {
    case LINK_DECODE_AFTER_SO:
        *state = LINK_DECODE_PLAIN;
        return static_cast<std::uint8_t>(byte - 0x20);
    case LINK_DECODE_AFTER_SI:
        if (byte == SO_BYTE) {
            *state = LINK_DECODE_AFTER_SI_SO;
            return LINK_DECODE_ESCAPE;
        }
        *state = LINK_DECODE_PLAIN;
        return static_cast<std::uint8_t>(byte + 0x80);
    case LINK_DECODE_AFTER_SI_SO:
        *state = LINK_DECODE_PLAIN;
        return static_cast<std::uint8_t>(byte + 0x60);
    default:
        *state = LINK_DECODE_PLAIN;
        if (byte == SO_BYTE) {
            *state = LINK_DECODE_AFTER_SO;
            return LINK_DECODE_ESCAPE;
        }
        if (byte == SI_BYTE) {
            *state = LINK_DECODE_AFTER_SI;
            return LINK_DECODE_ESCAPE;
        }
        return byte;
    }
}

std::uint8_t link_sum(const void* data, int length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint8_t sum = 0;
    for (int i = 0; i < length; ++i)
        sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

std::uint8_t link_command_sum(const void* data, int length) {
    return static_cast<std::uint8_t>(link_sum(data, length) & 0x7F);
}

void link_write_command(const void* data, int length, bool use_si, int chunk, LinkWrite write, void* context) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    Collector out(chunk, write, context);
    out.put(STX_BYTE);
    for (int i = 0; i < length; ++i)
        out.put_data(bytes[i], use_si);
    out.put(ETX_BYTE);
    out.put(link_command_sum(data, length));
    out.flush();
}

void link_write_answer(const void* data, int length, bool use_si, int chunk, LinkWrite write, void* context) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    Collector out(chunk, write, context);
    for (int i = 0; i < length; ++i)
        out.put_data(bytes[i], use_si);
    out.put(ACK_BYTE);
    std::uint8_t sum = link_sum(data, length);
    out.put(use_si ? static_cast<std::uint8_t>(sum & 0x7F) : sum);
    out.flush();
}
