// information.turtle, read with serd: the whole Turtle 1.1 grammar, prefixed
// names expanded, relative IRIs resolved against the base (@base or BASE,
// else the document's own URI), escapes decoded. Blank nodes are kept as
// "_:" and their label; literals as their text and datatype IRI. On top of
// serd: no NUL bytes, blank nodes and collections nested at most
// k_max_nesting deep (serd recurses on each), and a bound on the bytes the
// graph may hold (a ',' list repeats its subject and predicate).
#include <serd/serd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "libaff4/aff4.h"

namespace aff4 {
namespace {

constexpr std::string_view k_xsd_string = "http://www.w3.org/2001/XMLSchema#string";
constexpr unsigned k_max_nesting = 32;
constexpr uint64_t k_max_graph_bytes = 256u << 20;

struct env_free {
    void operator()(SerdEnv* e) const { serd_env_free(e); }
};
struct reader_free {
    void operator()(SerdReader* r) const { serd_reader_free(r); }
};

// A node serd allocated for us.
struct owned_node {
    SerdNode n = SERD_NODE_NULL;
    owned_node() = default;
    owned_node(const owned_node&) = delete;
    owned_node& operator=(const owned_node&) = delete;
    ~owned_node() { serd_node_free(&n); }
};

struct read_state {
    SerdEnv* env = nullptr;
    rdf_graph* g = nullptr;
    uint64_t bytes = 0;
    int rc = 0;  // the first failure, as fail() recorded it
};

std::string_view text_of(const SerdNode& n) {
    return n.buf ? std::string_view(reinterpret_cast<const char*>(n.buf), n.n_bytes) : std::string_view();
}

// Refuses blank node property lists and collections nested deeper than
// k_max_nesting, with the line where the nesting passes it. Strings, IRIs, comments and escaped
// characters of local names are stepped over as the Turtle grammar has them;
// text that is not Turtle is left to serd, which stops at it.
int check_nesting(std::string_view s) {
    unsigned depth = 0, line = 1;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        switch (c) {
        case '\n': ++line; break;
        case '#':
            while (i + 1 < s.size() && s[i + 1] != '\n') ++i;
            break;
        case '\\': ++i; break;
        case '<':
            while (i + 1 < s.size() && s[i + 1] != '>' && s[i + 1] != '\n') ++i;
            break;
        case '"':
        case '\'': {
            bool is_long = i + 2 < s.size() && s[i + 1] == c && s[i + 2] == c;
            i += is_long ? 3 : 1;
            for (; i < s.size(); ++i) {
                if (s[i] == '\\') {
                    ++i;
                } else if (s[i] == '\n') {
                    ++line;
                    if (!is_long) break;
                } else if (s[i] == c && (!is_long || (i + 2 < s.size() && s[i + 1] == c && s[i + 2] == c))) {
                    i += is_long ? 2 : 0;
                    break;
                }
            }
            break;
        }
        case '[':
        case '(':
            if (++depth > k_max_nesting)
                return fail(ENOTSUP, "information.turtle line %u: blank nodes or collections nested deeper than %u",
                            line, k_max_nesting);
            break;
        case ']':
        case ')':
            if (depth > 0) --depth;
            break;
        default: break;
        }
    }
    return 0;
}

// The text of a subject, predicate, object or datatype: IRIs absolute.
int node_text(read_state& st, const SerdNode& n, std::string& out) {
    switch (n.type) {
    case SERD_URI:
    case SERD_CURIE: {
        owned_node full;
        full.n = serd_env_expand_node(st.env, &n);
        if (!full.n.buf) {
            std::string_view name = text_of(n);
            if (n.type == SERD_CURIE)
                return fail(EINVAL, "information.turtle: undeclared prefix in %.*s", static_cast<int>(name.size()),
                            name.data());
            return fail(EINVAL, "information.turtle: bad IRI <%.*s>", static_cast<int>(name.size()), name.data());
        }
        out.assign(text_of(full.n));
        return 0;
    }
    case SERD_BLANK:
        out = "_:";
        out.append(text_of(n));
        return 0;
    case SERD_LITERAL:
        out.assign(text_of(n));
        return 0;
    default: return fail(EINVAL, "information.turtle: an empty node");
    }
}

SerdStatus on_base(void* handle, const SerdNode* uri) {
    auto& st = *static_cast<read_state*>(handle);
    return serd_env_set_base_uri(st.env, uri);
}

SerdStatus on_prefix(void* handle, const SerdNode* name, const SerdNode* uri) {
    auto& st = *static_cast<read_state*>(handle);
    return serd_env_set_prefix(st.env, name, uri);
}

SerdStatus on_statement(void* handle, SerdStatementFlags, const SerdNode*, const SerdNode* subject,
                        const SerdNode* predicate, const SerdNode* object, const SerdNode* datatype,
                        const SerdNode*) {
    auto& st = *static_cast<read_state*>(handle);
    rdf_triple t;
    int rc = node_text(st, *subject, t.subject);
    if (rc == 0) rc = node_text(st, *predicate, t.predicate);
    if (rc == 0) rc = node_text(st, *object, t.object.value);
    t.object.literal = object->type == SERD_LITERAL;
    if (rc == 0 && t.object.literal) {
        if (datatype && datatype->buf) rc = node_text(st, *datatype, t.object.datatype);
        else t.object.datatype = k_xsd_string;
    }
    if (rc == 0) {
        st.bytes += t.subject.size() + t.predicate.size() + t.object.value.size() + t.object.datatype.size() +
                    sizeof(rdf_triple);
        if (st.bytes > k_max_graph_bytes)
            rc = fail(ENOTSUP, "information.turtle holds more than %llu MiB of statements",
                      static_cast<unsigned long long>(k_max_graph_bytes >> 20));
    }
    if (rc < 0) {
        st.rc = rc;
        return SERD_ERR_BAD_ARG;
    }
    st.g->triples.push_back(std::move(t));
    return SERD_SUCCESS;
}

SerdStatus on_error(void* handle, const SerdError* e) {
    auto& st = *static_cast<read_state*>(handle);
    if (st.rc < 0) return e->status;
    char what[256];
    vsnprintf(what, sizeof what, e->fmt, *e->args);
    std::string_view w = what;
    while (!w.empty() && (w.back() == '\n' || w.back() == '\r')) w.remove_suffix(1);
    st.rc = fail(EINVAL, "information.turtle line %u: %.*s", e->line, static_cast<int>(w.size()), w.data());
    return e->status;
}

}  // namespace

int turtle_parse(const std::string& text, std::string_view base, rdf_graph& g) {
    if (text.find('\0') != std::string::npos) return fail(EINVAL, "information.turtle holds a NUL byte");
    if (int rc = check_nesting(text); rc < 0) return rc;
    std::string base_text(base);
    SerdNode base_node = serd_node_from_string(SERD_URI, reinterpret_cast<const uint8_t*>(base_text.c_str()));
    std::unique_ptr<SerdEnv, env_free> env(serd_env_new(&base_node));
    if (!env) return fail(ENOMEM, "information.turtle: out of memory");
    read_state st;
    st.env = env.get();
    st.g = &g;
    std::unique_ptr<SerdReader, reader_free> reader(
        serd_reader_new(SERD_TURTLE, &st, nullptr, on_base, on_prefix, on_statement, nullptr));
    if (!reader) return fail(ENOMEM, "information.turtle: out of memory");
    serd_reader_set_strict(reader.get(), true);
    serd_reader_set_error_sink(reader.get(), on_error, &st);
    SerdStatus status = serd_reader_read_string(reader.get(), reinterpret_cast<const uint8_t*>(text.c_str()));
    if (st.rc < 0) return st.rc;
    if (status != SERD_SUCCESS)
        return fail(EINVAL, "information.turtle: %s", reinterpret_cast<const char*>(serd_strerror(status)));
    return 0;
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
