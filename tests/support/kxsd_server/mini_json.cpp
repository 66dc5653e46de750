#include "kxsd_server/mini_json.h"

#include <cctype>
#include <cstdlib>

namespace {

const mini_json kNull;

struct reader {
    std::string_view t;
    size_t at = 0;

    void ws() {
        while (at < t.size() && std::isspace(static_cast<unsigned char>(t[at]))) at++;
    }
    bool eat(char c) {
        ws();
        if (at < t.size() && t[at] == c) {
            at++;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        if (t.substr(at, w.size()) != w) return false;
        at += w.size();
        return true;
    }

    static void put_utf8(std::string* out, uint32_t cp) {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | cp >> 6));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xE0 | cp >> 12));
            out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    bool string(std::string* out) {
        if (!eat('"')) return false;
        while (at < t.size()) {
            char c = t[at++];
            if (c == '"') return true;
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (at >= t.size()) return false;
            c = t[at++];
            switch (c) {
                case '"': case '\\': case '/': out->push_back(c); break;
                case 'b': out->push_back('\b'); break;
                case 'f': out->push_back('\f'); break;
                case 'n': out->push_back('\n'); break;
                case 'r': out->push_back('\r'); break;
                case 't': out->push_back('\t'); break;
                case 'u': {
                    if (at + 4 > t.size()) return false;
                    const std::string hex(t.substr(at, 4));
                    at += 4;
                    // Texts of the log are Latin-1 bytes: \u00XX stands for byte XX.
                    const auto cp = static_cast<uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
                    if (cp < 0x100) out->push_back(static_cast<char>(cp));
                    else put_utf8(out, cp);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    bool value(mini_json* v) {
        ws();
        if (at >= t.size()) return false;
        const char c = t[at];
        if (c == '{') {
            at++;
            v->kind = mini_json::OBJ;
            if (eat('}')) return true;
            do {
                std::string key;
                ws();
                if (!string(&key) || !eat(':')) return false;
                mini_json item;
                if (!value(&item)) return false;
                v->obj.emplace(std::move(key), std::move(item));
            } while (eat(','));
            return eat('}');
        }
        if (c == '[') {
            at++;
            v->kind = mini_json::ARR;
            if (eat(']')) return true;
            do {
                mini_json item;
                if (!value(&item)) return false;
                v->arr.push_back(std::move(item));
            } while (eat(','));
            return eat(']');
        }
        if (c == '"') {
            v->kind = mini_json::STR;
            return string(&v->str);
        }
        if (word("true")) {
            v->kind = mini_json::BOOL;
            v->b = true;
            return true;
        }
        if (word("false")) {
            v->kind = mini_json::BOOL;
            return true;
        }
        if (word("null")) return true;
        size_t end = at;
        if (end < t.size() && t[end] == '-') end++;
        while (end < t.size() && std::isdigit(static_cast<unsigned char>(t[end]))) end++;
        if (end == at) return false;
        v->kind = mini_json::NUM;
        v->num = std::strtoll(std::string(t.substr(at, end - at)).c_str(), nullptr, 10);
        at = end;
        return true;
    }
};

}  // namespace

const mini_json& mini_json::operator[](const std::string& key) const {
    if (kind != OBJ) return kNull;
    auto it = obj.find(key);
    return it == obj.end() ? kNull : it->second;
}

const mini_json& mini_json::operator[](size_t i) const { return kind == ARR && i < arr.size() ? arr[i] : kNull; }

bool mini_json::parse(std::string_view text, mini_json* out) {
    reader r{text};
    mini_json v;
    if (!r.value(&v)) return false;
    r.ws();
    if (r.at != text.size()) return false;
    *out = std::move(v);
    return true;
}
