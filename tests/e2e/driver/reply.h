// One answer line of the test driver: a flat JSON object built field by field. The
// tests read it with Python's json module, so only what JSON needs is escaped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

class json_writer {
  public:
    json_writer& begin_object() { return open('{'); }
    json_writer& end_object() { return close('}'); }
    json_writer& begin_array() { return open('['); }
    json_writer& end_array() { return close(']'); }

    json_writer& key(std::string_view name) {
        separate();
        quote(name);
        text_ += ':';
        after_key_ = true;
        return *this;
    }
    json_writer& value(std::string_view text) {
        separate();
        quote(text);
        return *this;
    }
    json_writer& value(const char* text) { return value(std::string_view(text)); }
    json_writer& value(bool flag) { return raw(flag ? "true" : "false"); }
    json_writer& value(std::int64_t number) { return raw(std::to_string(number)); }
    json_writer& value(int number) { return value(static_cast<std::int64_t>(number)); }
    json_writer& value(unsigned long number) { return value(static_cast<std::int64_t>(number)); }
    json_writer& value(unsigned number) { return value(static_cast<std::int64_t>(number)); }
    json_writer& value(long number) { return value(static_cast<std::int64_t>(number)); }
    json_writer& null() { return raw("null"); }

    const std::string& text() const { return text_; }

  private:
    json_writer& open(char bracket) {
        separate();
        text_ += bracket;
        first_ = true;
        return *this;
    }
    json_writer& close(char bracket) {
        text_ += bracket;
        first_ = false;
        return *this;
    }
    json_writer& raw(std::string_view token) {
        separate();
        text_ += token;
        return *this;
    }
    void separate() {
        if (after_key_) {
            after_key_ = false;
            return;
        }
        if (!first_) {
            text_ += ',';
        }
        first_ = false;
    }
    void quote(std::string_view s) {
        text_ += '"';
        for (unsigned char c : s) {
            if (c == '"' || c == '\\') {
                text_ += '\\';
                text_ += static_cast<char>(c);
            } else if (c < 0x20 || c >= 0x80) {
                // Windows-1252 bytes above 127 are passed as code points of the same
                // value; the program's texts are plain ASCII anyway.
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                text_ += escape;
            } else {
                text_ += static_cast<char>(c);
            }
        }
        text_ += '"';
    }

    std::string text_;
    bool first_ = true;
    bool after_key_ = false;
};
