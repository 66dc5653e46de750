// A small strict Turtle reader for information.turtle: @prefix (and PREFIX),
// IRIs, prefixed names, "a", string literals with a datatype or language,
// bare integers, and the ';' and ',' lists. Anything else (blank nodes,
// collections, @base, relative IRIs) is refused with the line it is on.
#include <cerrno>
#include <cstring>
#include <map>

#include "libaff4/aff4.h"

namespace aff4 {
namespace {

constexpr std::string_view k_xsd_integer = "http://www.w3.org/2001/XMLSchema#integer";
constexpr std::string_view k_xsd_string = "http://www.w3.org/2001/XMLSchema#string";
constexpr std::string_view k_xsd_boolean = "http://www.w3.org/2001/XMLSchema#boolean";

struct parser {
    std::string_view s;
    size_t pos = 0;
    unsigned line = 1;
    std::map<std::string, std::string, std::less<>> prefixes;
    rdf_graph* g = nullptr;
};

int bad(const parser& p, const char* what) { return fail(EINVAL, "information.turtle line %u: %s", p.line, what); }
int unsupported(const parser& p, const char* what) {
    return fail(ENOTSUP, "information.turtle line %u: %s is not supported", p.line, what);
}

bool at_end(const parser& p) { return p.pos >= p.s.size(); }
char peek(const parser& p, size_t ahead = 0) { return p.pos + ahead < p.s.size() ? p.s[p.pos + ahead] : '\0'; }

void skip_space(parser& p) {
    while (!at_end(p)) {
        char c = p.s[p.pos];
        if (c == '\n') {
            ++p.line;
            ++p.pos;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            ++p.pos;
        } else if (c == '#') {
            while (!at_end(p) && p.s[p.pos] != '\n') ++p.pos;
        } else {
            break;
        }
    }
}

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || static_cast<unsigned char>(c) >= 0x80;
}

bool has_scheme(std::string_view iri) {
    size_t colon = iri.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
        char c = iri[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (i > 0 && ((c >= '0' && c <= '9') || c == '+' ||
                                                                                  c == '-' || c == '.'));
        if (!ok) return false;
    }
    return true;
}

// <...>: an absolute IRI.
int read_iriref(parser& p, std::string& out) {
    ++p.pos;  // '<'
    size_t start = p.pos;
    while (!at_end(p) && p.s[p.pos] != '>') {
        char c = p.s[p.pos];
        if (c == '\n' || c == ' ' || c == '<' || c == '"' || c == '\\' || c == '{' || c == '}' || c == '|' ||
            c == '^' || c == '`')
            return bad(p, "bad character in an IRI");
        ++p.pos;
    }
    if (at_end(p)) return bad(p, "unterminated IRI");
    out.assign(p.s.substr(start, p.pos - start));
    ++p.pos;
    if (!has_scheme(out)) return unsupported(p, "a relative IRI");
    return 0;
}

// prefix:local, with the prefix declared.
int read_pname(parser& p, std::string& out) {
    size_t start = p.pos;
    while (!at_end(p) && p.s[p.pos] != ':' && name_char(p.s[p.pos])) ++p.pos;
    if (peek(p) != ':') return bad(p, "expected a prefixed name");
    std::string_view prefix = p.s.substr(start, p.pos - start);
    ++p.pos;
    size_t local = p.pos;
    while (!at_end(p) && name_char(p.s[p.pos])) ++p.pos;
    while (p.pos > local && p.s[p.pos - 1] == '.') --p.pos;  // a final '.' ends the statement
    if (peek(p) == '\\' || peek(p) == '%' || peek(p) == ':') return unsupported(p, "this prefixed name");
    auto it = p.prefixes.find(prefix);
    if (it == p.prefixes.end()) return bad(p, "undeclared prefix");
    out = it->second;
    out.append(p.s.substr(local, p.pos - local));
    return 0;
}

int read_iri(parser& p, std::string& out) {
    char c = peek(p);
    if (c == '<') return read_iriref(p, out);
    if (c == '_' && peek(p, 1) == ':') return unsupported(p, "a blank node");
    if (c == '[') return unsupported(p, "a blank node");
    if (c == '(') return unsupported(p, "a collection");
    if (c == ':' || name_char(c)) return read_pname(p, out);
    return bad(p, "expected an IRI");
}

int read_string(parser& p, std::string& out) {
    char q = p.s[p.pos];
    bool is_long = peek(p, 1) == q && peek(p, 2) == q;
    p.pos += is_long ? 3 : 1;
    out.clear();
    for (;;) {
        if (at_end(p)) return bad(p, "unterminated string");
        char c = p.s[p.pos];
        if (c == q) {
            if (!is_long) {
                ++p.pos;
                return 0;
            }
            if (peek(p, 1) == q && peek(p, 2) == q) {
                p.pos += 3;
                return 0;
            }
        }
        if (c == '\n') {
            if (!is_long) return bad(p, "line break in a string");
            ++p.line;
        }
        if (c != '\\') {
            out += c;
            ++p.pos;
            continue;
        }
        char e = peek(p, 1);
        p.pos += 2;
        switch (e) {
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 'f': out += '\f'; break;
        case '"': out += '"'; break;
        case '\'': out += '\''; break;
        case '\\': out += '\\'; break;
        default: return unsupported(p, "this string escape");
        }
    }
}

int read_object(parser& p, rdf_term& t) {
    char c = peek(p);
    t = rdf_term{};
    if (c == '"' || c == '\'') {
        t.literal = true;
        if (int rc = read_string(p, t.value); rc < 0) return rc;
        if (peek(p) == '^' && peek(p, 1) == '^') {
            p.pos += 2;
            return read_iri(p, t.datatype);
        }
        if (peek(p) == '@') {  // a language tag: kept out of the value
            ++p.pos;
            while (!at_end(p) && (name_char(p.s[p.pos]) && p.s[p.pos] != '.')) ++p.pos;
        }
        t.datatype = k_xsd_string;
        return 0;
    }
    if ((c >= '0' && c <= '9') || ((c == '-' || c == '+') && peek(p, 1) >= '0' && peek(p, 1) <= '9')) {
        size_t start = p.pos++;
        while (peek(p) >= '0' && peek(p) <= '9') ++p.pos;
        if (peek(p) == '.' && peek(p, 1) >= '0' && peek(p, 1) <= '9') return unsupported(p, "a decimal number");
        if (peek(p) == 'e' || peek(p) == 'E') return unsupported(p, "a floating-point number");
        t.literal = true;
        t.value.assign(p.s.substr(start, p.pos - start));
        t.datatype = k_xsd_integer;
        return 0;
    }
    if (p.s.substr(p.pos).starts_with("true") || p.s.substr(p.pos).starts_with("false")) {
        size_t n = c == 't' ? 4 : 5;
        if (!name_char(peek(p, n)) && peek(p, n) != ':') {
            t.literal = true;
            t.value.assign(p.s.substr(p.pos, n));
            t.datatype = k_xsd_boolean;
            p.pos += n;
            return 0;
        }
    }
    return read_iri(p, t.value);
}

int read_verb(parser& p, std::string& out) {
    if (peek(p) == 'a' && !name_char(peek(p, 1)) && peek(p, 1) != ':') {
        ++p.pos;
        out = k_rdf_type;
        return 0;
    }
    return read_iri(p, out);
}

int expect(parser& p, char c, const char* what) {
    skip_space(p);
    if (peek(p) != c) return bad(p, what);
    ++p.pos;
    return 0;
}

// @prefix p: <iri> .   or   PREFIX p: <iri>
int read_prefix(parser& p, bool sparql) {
    skip_space(p);
    size_t start = p.pos;
    while (!at_end(p) && p.s[p.pos] != ':' && name_char(p.s[p.pos])) ++p.pos;
    if (peek(p) != ':') return bad(p, "expected a prefix name");
    std::string name(p.s.substr(start, p.pos - start));
    ++p.pos;
    skip_space(p);
    if (peek(p) != '<') return bad(p, "expected the prefix's IRI");
    std::string iri;
    if (int rc = read_iriref(p, iri); rc < 0) return rc;
    p.prefixes[name] = iri;
    return sparql ? 0 : expect(p, '.', "expected '.' after a prefix");
}

int read_statement(parser& p) {
    if (peek(p) == '@') {
        if (p.s.substr(p.pos).starts_with("@prefix")) {
            p.pos += 7;
            return read_prefix(p, false);
        }
        return unsupported(p, "this directive");
    }
    if (p.s.substr(p.pos).starts_with("PREFIX") || p.s.substr(p.pos).starts_with("prefix")) {
        char after = peek(p, 6);
        if (after == ' ' || after == '\t') {
            p.pos += 6;
            return read_prefix(p, true);
        }
    }
    if (p.s.substr(p.pos).starts_with("BASE") || p.s.substr(p.pos).starts_with("base"))
        if (peek(p, 4) == ' ' || peek(p, 4) == '\t') return unsupported(p, "BASE");
    std::string subject;
    if (int rc = read_iri(p, subject); rc < 0) return rc;
    for (;;) {
        skip_space(p);
        std::string predicate;
        if (int rc = read_verb(p, predicate); rc < 0) return rc;
        for (;;) {
            skip_space(p);
            rdf_triple t;
            t.subject = subject;
            t.predicate = predicate;
            if (int rc = read_object(p, t.object); rc < 0) return rc;
            p.g->triples.push_back(std::move(t));
            skip_space(p);
            if (peek(p) != ',') break;
            ++p.pos;
        }
        if (peek(p) == '.') {
            ++p.pos;
            return 0;
        }
        if (peek(p) != ';') return bad(p, "expected ';', ',' or '.'");
        // One or more ';', then another predicate or the end of the statement.
        while (peek(p) == ';') {
            ++p.pos;
            skip_space(p);
        }
        if (peek(p) == '.') {
            ++p.pos;
            return 0;
        }
    }
}

}  // namespace

int turtle_parse(std::string_view text, rdf_graph& g) {
    parser p;
    p.s = text;
    p.g = &g;
    if (text.find('\0') != std::string_view::npos) return fail(EINVAL, "information.turtle holds a NUL byte");
    for (;;) {
        skip_space(p);
        if (at_end(p)) return 0;
        if (int rc = read_statement(p); rc < 0) return rc;
    }
}

const rdf_term* rdf_first(const rdf_graph& g, std::string_view subject, std::string_view predicate) {
    for (const rdf_triple& t : g.triples)
        if (t.subject == subject && t.predicate == predicate) return &t.object;
    return nullptr;
}

std::vector<const rdf_term*> rdf_all(const rdf_graph& g, std::string_view subject, std::string_view predicate) {
    std::vector<const rdf_term*> out;
    for (const rdf_triple& t : g.triples)
        if (t.subject == subject && t.predicate == predicate) out.push_back(&t.object);
    return out;
}

bool rdf_has_type(const rdf_graph& g, std::string_view subject, std::string_view type) {
    for (const rdf_triple& t : g.triples)
        if (t.subject == subject && t.predicate == k_rdf_type && !t.object.literal && t.object.value == type)
            return true;
    return false;
}

int rdf_uint(const rdf_graph& g, std::string_view subject, std::string_view predicate, uint64_t& out) {
    const rdf_term* t = rdf_first(g, subject, predicate);
    if (!t) return 1;
    std::string_view v = t->value;
    if (!t->literal || v.empty() || v.size() > 20)
        return fail(EINVAL, "%.*s of %.*s is not a number", static_cast<int>(predicate.size()), predicate.data(),
                    static_cast<int>(subject.size()), subject.data());
    uint64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9' || n > (UINT64_MAX - static_cast<uint64_t>(c - '0')) / 10)
            return fail(EINVAL, "%.*s of %.*s is not a number: \"%.*s\"", static_cast<int>(predicate.size()),
                        predicate.data(), static_cast<int>(subject.size()), subject.data(),
                        static_cast<int>(v.size()), v.data());
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    out = n;
    return 0;
}

}  // namespace aff4
