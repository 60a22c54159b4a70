// Checks of the Python-free core, built and run without the interpreter.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "text/block_scan.hpp"
#include "text/byte_lines.hpp"
#include "text/field_split.hpp"
#include "text/grow_buffer.hpp"
#include "text/number_syntax.hpp"
#include "text/plain_lines.hpp"
#include "text/read_ahead.hpp"
#include "text/record_walks.hpp"
#include "text/threads.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

using namespace femap;

static int failures = 0;

// Restricts this thread, and the threads it starts, to the processor it runs on
// while in scope (where it can); worker_threads() has counted the processors before.
struct OneProcessor {
#if defined(__linux__)
    cpu_set_t before;
    bool pinned = false;
    explicit OneProcessor(bool on) {
        (void)worker_threads();
        if (!on || sched_getaffinity(0, sizeof before, &before) != 0) return;
        const int cpu = sched_getcpu();
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu < 0 ? 0 : cpu, &one);
        pinned = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~OneProcessor() {
        if (pinned) sched_setaffinity(0, sizeof before, &before);
    }
#else
    explicit OneProcessor(bool) {}
#endif
};
#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            std::printf("%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

// ASCII lines held in memory, as the walks see them.
struct TestFields {
    FieldViews views;
    size_t size() const { return views.size(); }
    Conv to_int32(size_t k, int32_t& out) {
        int64_t v;
        if (parse_int_ascii(views[k], v) != Parse::Ok || v < INT32_MIN || v > INT32_MAX) return Conv::Reject;
        out = static_cast<int32_t>(v);
        return Conv::Ok;
    }
    Conv to_double(size_t k, double& out) {
        return parse_real_ascii(views[k], out) == Parse::Ok ? Conv::Ok : Conv::Reject;
    }
    Conv check_int(size_t k) { int32_t v; return to_int32(k, v); }
    Conv to_int64_clamped(size_t k, int64_t& out) {
        return parse_int_ascii(views[k], out) == Parse::Ok ? Conv::Ok : Conv::Reject;
    }
    bool is(size_t k, std::string_view t) const { return views[k] == t; }
    bool starts_with(size_t k, char c) const { return !views[k].empty() && views[k][0] == c; }
};

struct TestLines {
    using Fields = TestFields;
    std::vector<std::string> lines;
    int64_t size() const { return int64_t(lines.size()); }
    bool split(int64_t i, Fields& f, size_t limit = SIZE_MAX) {
        split_fields_ascii(lines[size_t(i)], f.views, limit);
        return true;
    }
    Conv split_in_guard(int64_t i, Fields& f, size_t limit = SIZE_MAX) {
        return i < size() && split(i, f, limit) ? Conv::Ok : Conv::Reject;
    }
    Conv split_if_text(int64_t i, Fields& f, size_t limit = SIZE_MAX) { return split_in_guard(i, f, limit); }
    template <class Push>
    RealLine read_reals(int64_t i, Push&& push) const {
        const std::string& l = lines[size_t(i)];
        return may_be_minus_one(l) ? RealLine::NotSimple : read_real_line(l, push);
    }
    template <class Push>
    RealLine read_entry(int64_t i, EntryLine& out, Push&& push) const {
        return read_entry_line(lines[size_t(i)], out, push);
    }
    bool count_fields(int64_t i, size_t limit, size_t& count, bool& minus) const {
        count = count_fields_ascii(lines[size_t(i)], limit);
        minus = may_be_minus_one(lines[size_t(i)]);
        return true;
    }
};

static std::vector<std::string> split(std::string_view s) {
    FieldViews v;
    split_fields_ascii(s, v);
    return {v.begin(), v.end()};
}

// A block's text for the one-pass readers: sometimes cut before its last line end,
// followed by nothing or more lines; lines from..upto of it drawn; a fresh cursor and
// one for the reader.
struct OnePassText {
    std::string s, padded;
    bool has_cr = false;
    int64_t n = 0, from = 0, upto = 0;
    ByteLines fresh, fast;
    template <class Draw>
    OnePassText(std::string text, Draw&& draw) : s(std::move(text)) {
        if (!s.empty() && draw(4) == 0) s.pop_back();
        has_cr = s.find('\r') != std::string::npos;
        padded = s + (draw(2) ? "   -1\n1,2.5,\n" + std::string(80, 'x') : "");
        n = count_lines(padded.data(), 0, s.size(), has_cr);
        from = n ? draw(unsigned(n)) : 0;
        upto = n ? from + draw(unsigned(n - from) + 1) : 0;
        fresh.bind(padded.data(), 0, s.size(), n, has_cr);
        fast.bind(padded.data(), 0, s.size(), n, has_cr);
    }
    const char* readable() const { return padded.data() + padded.size(); }
    // The reader's cursor, having stopped at line `got`, gives the lines around it.
    bool cursor_agrees(int64_t got) {
        for (int64_t k : {got - 1, got, got + 1})
            if (k >= 0 && k < n && fast.line(k) != fresh.line(k)) return false;
        return true;
    }
};

// Kept blocks: the smallest that fits is taken; a full pool keeps the larger blocks.
static void check_scratch_pool() {
    ScratchPool pool;
    size_t size = 0;
    CHECK(!pool.take(1, size));
    for (size_t bytes : std::initializer_list<size_t>{100, 300, 200, 400, 50, 250, size_t(5) << 20}) pool.give(std::malloc(bytes), bytes);
    for (auto [want, got] : {std::pair<size_t, size_t>{150, 200}, {150, 250}, {1000, 0}, {1, 300}, {1, 400}, {1, 0}}) {
        void* p = pool.take(want, size);
        CHECK(got ? p && size == got : !p);
        std::free(p);
    }
}

int main() {
    check_scratch_pool();
    using V = std::vector<std::string>;
    CHECK(split("  1, 2 ,3  ") == (V{"1", "2", "3"}));
    CHECK(split("1,,3,,,") == (V{"1", "3"}));
    CHECK(split("a b,c") == (V{"a b", "c"}));
    CHECK(split("1 \t2\x1c 3") == (V{"1", "2", "3"}));
    CHECK(split(", , ,").empty());
    CHECK(split("1,2, ") == (V{"1", "2"}));
    for (auto [line, limit, fields] : {std::tuple{"  1, 2 ,3  ", 2, V{"1", "2"}}, {"1,,3,4", 2, V{"1", "3"}},
                                       {"a b  c", 1, V{"a"}}, {",,1,", 1, V{"1"}}, {"1,2", 5, V{"1", "2"}}}) {
        FieldViews v;
        split_fields_ascii(line, v, size_t(limit));
        CHECK(V(v.begin(), v.end()) == fields);
    }

    // Counting agrees with splitting on any mix of commas, blanks and text.
    uint64_t state = 99;
    for (int round = 0; round < 200000; ++round) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        std::string line;
        for (size_t k = 0, len = (state >> 40) % 150; k < len; ++k) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            line += ",, \t\x1c\x1f\x0d\x0b" "1a-."[(state >> 33) % 13];
        }
        FieldViews v;
        split_fields_ascii(line, v);
        CHECK(count_fields_ascii(line) == v.size());
        std::string padded = line + std::string(80, ',');  // readable bytes after the line
        CHECK(count_fields_ascii(std::string_view(padded.data(), line.size()), SIZE_MAX, padded.data() + padded.size()) ==
              v.size());
        CHECK(count_fields_ascii(line, 3) == std::min<size_t>(3, v.size()));
        int64_t first = 0;
        if (!v.empty() && parse_int_ascii(v[0], first) == Parse::Ok && first == -1) CHECK(may_be_minus_one(line));
    }

    int64_t i64;
    CHECK(parse_int_ascii(" -0042 ", i64) == Parse::Ok && i64 == -42);
    CHECK(parse_int_ascii("1_0", i64) == Parse::Unsure);
    CHECK(parse_int_ascii("1.0", i64) == Parse::Invalid);
    CHECK(parse_int_ascii("1234567890123456789", i64) == Parse::Unsure);
    int32_t i32;
    CHECK(parse_small_int("+007", i32) && i32 == 7);
    CHECK(parse_small_int("-999999999", i32) && i32 == -999999999);
    CHECK(!parse_small_int("1234567890", i32) && !parse_small_int("-", i32) && !parse_small_int("1 2", i32));
    double d;
    CHECK(parse_real_ascii("1.5D+03", d) == Parse::Ok && d == 1500.0);
    CHECK(parse_real_ascii("-.5e-1", d) == Parse::Ok && d == -0.05);
    CHECK(parse_real_ascii("0.1", d) == Parse::Ok && d == 0.1);
    CHECK(parse_real_ascii("1.5E3D2", d) == Parse::Invalid);
    CHECK(parse_real_ascii("nan", d) == Parse::Unsure);
    // float() reads nothing that starts otherwise than with a digit, a point, inf or nan
    for (const char* t : {"<NULL>", "Mode 1, 8.485 Hz", "-x1", "_1", "+_1", "D5", "-e5", "Eigenvalue 1", "1+"})
        CHECK(parse_real_ascii(t, d) == Parse::Invalid);
    for (const char* t : {"Inf", " -nan", "+Infinity", "iNfx", "1_0.5", "N"}) CHECK(parse_real_ascii(t, d) == Parse::Unsure);
    CHECK(parse_real_ascii("1e400", d) == Parse::Unsure);
    CHECK(parse_real_ascii("8.0000000000000000D+00", d) == Parse::Ok && d == 8.0);
    // Every digit layout the short path reads, against the C library's correctly
    // rounded reading; a letter after the digits is refused wherever it falls.
    uint64_t seed = 12345;
    auto next_digit = [&] { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return char('0' + (seed >> 33) % 10); };
    int compared = 0;
    for (int a = 0; a <= 12; ++a)
        for (int b = -1; b <= 20; ++b)
            for (const char* tail : {"", "E-07", "e+12", "D-3", "E5", "e-0022", "E+308", "x", "E", "E+", "E-1x"})
                for (int rep = 0; rep < 6; ++rep) {
                    std::string t = rep % 3 == 0 ? "" : rep % 3 == 1 ? "-" : "+";
                    for (int k = 0; k < a; ++k) t += next_digit();
                    if (b >= 0) t += '.';
                    for (int k = 0; k < b; ++k) t += next_digit();
                    t += tail;
                    std::string c = t;
                    if (size_t at = c.find_first_of("Dd"); at != std::string::npos) c[at] = 'e';
                    char* end;
                    errno = 0;
                    double want = std::strtod(c.c_str(), &end);
                    bool valid = (a + (b > 0 ? b : 0)) > 0 && *end == 0;
                    Parse got = parse_real_ascii(t, d);
                    if (valid && errno == ERANGE)  // overflow: the host decides
                        CHECK(got == Parse::Unsure);
                    else
                        CHECK(valid ? got == Parse::Ok && d == want : got != Parse::Ok);
                    double fast;
                    if (parse_short_real(t, fast)) CHECK(valid && fast == want && std::signbit(fast) == std::signbit(want));
                    compared += valid;
                }
    CHECK(compared > 1000);
    // Long significands (FEMAP's 17 digits, up to 19) over the whole exponent range and
    // exact halfway points between doubles: the fast reading equals strtod's wherever it
    // takes the text.
    int fast_taken = 0;
    for (int rep = 0; rep < 400000; ++rep) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        std::string t;
        if (rep % 4 == 3) {
            // An odd 54-bit integer times 2**k: the midpoint of two doubles, written out.
            uint64_t m = ((seed >> 11) | 1) | (uint64_t(1) << 53);
            t = std::to_string(m << (seed % 10)) + (rep % 8 == 3 ? "" : "e-" + std::to_string(seed % 5));
        } else {
            t = std::string(1, char('1' + (seed >> 40) % 9)) + ".";
            for (int k = 0, n = 15 + int(seed % 4); k < n; ++k) t += next_digit();
            int exponent = int((seed >> 20) % 660) - 340;
            t += (rep % 2 ? "D" : "E") + std::string(exponent < 0 ? "-" : "+") + std::to_string(std::abs(exponent));
        }
        std::string c = t;
        if (size_t at = c.find('D'); at != std::string::npos) c[at] = 'e';
        double want = std::strtod(c.c_str(), nullptr), fast;
        if (parse_short_real(t, fast)) {
            ++fast_taken;
            CHECK(fast == want);
            if (fast != want) std::printf("  %s: %.17g, want %.17g\n", t.c_str(), fast, want);
        }
        CHECK(parse_real_ascii(t, d) != Parse::Ok || d == want);
    }
    CHECK(fast_taken > 370000);  // all but the subnormals and overflows
    // A capped exponent must not pass for a small one.
    std::string tiny = "0." + std::string(100005, '0') + "1e1000100";
    CHECK(parse_real_ascii(tiny, d) == Parse::Unsure);

    // Lines of reals: read whole exactly when every comma piece is blanks, a number the
    // scalar reader takes and blanks, with the values of that reader, bit for bit;
    // with the bytes after the line readable or not.
    int lines_read = 0;
    for (int rep = 0; rep < 300000; ++rep) {
        auto draw = [&](unsigned n) { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return unsigned(seed >> 33) % n; };
        std::string line;
        for (unsigned f = 0, fields = 1 + draw(14); f < fields; ++f) {
            if (f) line += ',';
            line += std::string(draw(5) == 0 ? draw(8) : 0, ' ');
            if (draw(3)) line += "-+"[draw(2)];
            for (unsigned k = draw(12); k--;) line += next_digit();
            if (draw(4)) line += '.';
            for (unsigned k = draw(12); k--;) line += next_digit();
            if (draw(3) == 0) {
                line += "EeDd"[draw(4)];
                if (draw(2)) line += "-+"[draw(2)];
                for (unsigned k = draw(6); k--;) line += next_digit();
            }
            if (draw(40) == 0 && !line.empty()) line[draw(unsigned(line.size()))] = " .,x\t-E0"[draw(9)];
        }
        line += std::string(draw(3), ',');
        std::vector<double> want;
        bool simple = true;
        std::string_view rest(line);
        while (!rest.empty() && rest.back() == ',') rest.remove_suffix(1);
        for (size_t at = 0; simple;) {
            size_t comma = std::min(rest.find(',', at), rest.size());
            std::string_view piece = strip_space(rest.substr(at, comma - at));
            double v;
            simple = parse_real_prefix(piece.data(), piece.data() + piece.size(), v) == piece.data() + piece.size();
            want.push_back(v);
            if (comma == rest.size()) break;
            at = comma + 1;
        }
        std::string buffer = line + std::string(draw(2) ? 40 : 0, "0,e."[draw(4)]);
        std::vector<double> got;
        RealLine r = read_real_line(std::string_view(buffer.data(), line.size()), [&](double v) { got.push_back(v); return true; },
                                    buffer.data() + buffer.size());
        CHECK(r == (simple ? RealLine::Read : RealLine::NotSimple));
        if (want.size() == 1) {  // then also the value of an `id, value` entry line
            std::string entry = "7," + buffer;
            EntryLine got_entry;
            RealLine er = read_entry_line(std::string_view(entry.data(), line.size() + 2), got_entry,
                                          [](double) { return false; }, entry.data() + entry.size());
            CHECK(er == (simple ? RealLine::Read : RealLine::NotSimple));
            if (simple) CHECK(got_entry.first == 7 && !got_entry.range && std::memcmp(&got_entry.value, &want[0], 8) == 0);
        }
        if (simple && r == RealLine::Read) {
            ++lines_read;
            CHECK(got.size() == want.size() &&
                  std::memcmp(got.data(), want.data(), got.size() * sizeof(double)) == 0);
        }
    }
    CHECK(lines_read > 10000);

    // Scan: blocks found by a plain walk of the lines, on random texts of delimiter-like
    // lines, identifiers and every line end (long ones too, to cross 64-byte steps).
    auto identify = [](std::string_view line, int32_t& id) {
        int64_t v;
        if (classify_identifier_ascii(line, v) != Parse::Ok) return Conv::Reject;
        id = static_cast<int32_t>(v);
        return Conv::Ok;
    };
    using Found = std::vector<std::tuple<int32_t, size_t, size_t, int64_t>>;
    auto walk_lines = [&](const std::string& s, size_t start, bool has_cr) {
        Found found;
        auto is_delimiter = [&](size_t at, size_t end) { return s.compare(at, end - at, "   -1") == 0; };
        for (size_t pos = start; pos < s.size();) {
            LineEnd le = find_line_end(s.data(), s.size(), pos, has_cr);
            if (!is_delimiter(pos, le.text_end) || le.next_start >= s.size()) {
                pos = le.next_start;
                continue;
            }
            LineEnd id_le = find_line_end(s.data(), s.size(), le.next_start, has_cr);
            int32_t id;
            if (identify(std::string_view(s).substr(le.next_start, id_le.text_end - le.next_start), id) != Conv::Ok) {
                pos = le.next_start;
                continue;
            }
            BodySpan span{id_le.next_start, s.size(), 0};
            for (pos = span.begin; pos < s.size(); ++span.n_lines) {
                LineEnd b = find_line_end(s.data(), s.size(), pos, has_cr);
                if (is_delimiter(pos, b.text_end)) {
                    span.end = pos;
                    pos = b.next_start;
                    break;
                }
                pos = b.next_start;
            }
            found.emplace_back(id, span.begin, span.end, span.n_lines);
        }
        return found;
    };
    const char* pieces[] = {"   -1\n", "   -1\r\n", "   -1", "   -1\r", " -1\n", "    -1\n", "  403\n", "7\r\n",
                            "403", "-1.5", "x", "  ", "\n", "\r\n", "\r"};
    int blocks_seen = 0;
    for (int rep = 0; rep < 20000; ++rep) {
        auto draw = [&](unsigned n) { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return unsigned(seed >> 33) % n; };
        std::string s;
        for (unsigned k = 0, n = draw(4) ? draw(60) : draw(600); k < n; ++k)
            s += draw(8) ? pieces[draw(15)] : std::string(draw(90), "ab, 1"[draw(5)]);
        const bool has_cr = s.find('\r') != std::string::npos;
        for (size_t start : {size_t(0), size_t(draw(3))}) {
            if (start > s.size()) continue;
            Found found;
            CHECK(scan_blocks(s.data(), s.size(), start, has_cr, identify, [&](int32_t id, const BodySpan& span) {
                found.emplace_back(id, span.begin, span.end, span.n_lines);
                return true;
            }));
            CHECK(found == walk_lines(s, start, has_cr));
            blocks_seen += int(found.size());
        }
    }
    CHECK(blocks_seen > 40000);

    // Passing over lines lands where counting line feeds one by one does: lines of 0 to
    // 300 bytes (windows with no line end, with many), from any line start, any count.
    for (int rep = 0; rep < 20000; ++rep) {
        auto draw = [&](unsigned n) { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return unsigned(seed >> 33) % n; };
        std::string s;
        for (unsigned k = 0, n = draw(40); k < n; ++k) s += std::string(draw(4) ? draw(8) : draw(300), "1,. "[draw(4)]) + "\n";
        s += std::string(draw(70), 'x');
        std::vector<size_t> starts{0};
        for (size_t k = 0; k < s.size(); ++k)
            if (s[k] == '\n') starts.push_back(k + 1);
        const size_t from = draw(unsigned(starts.size()));
        const int64_t count = 1 + draw(draw(3) ? 4 : 50);
        const size_t want = from + size_t(count) < starts.size() ? starts[from + size_t(count)] : s.size();
        CHECK(skip_lf_lines(s.data(), s.size(), starts[from], count) == want);
    }

    // A line of integers read without splitting it gives what splitting it and int() of
    // each field give (the non-zero values), or leaves it (out untouched) to that path;
    // it takes every line of plain padded integers with a comma up to 192 bytes. Also
    // at the edges of its buffer (nothing may be read past them).
    const char* int_pieces[] = {"0", "7", "-3", "123456789", "-987654321", "1234567890", "", "   ", "+5", "\t5",
                                "5 5", "5-", "--5", "-", "1.0", "x", "007", "-0", " \x1c" "4"};
#if defined(__SSE2__)
    const bool reads_ints = true;
#else
    const bool reads_ints = false;  // every line left to the split
#endif
    int fast_lines = 0;
    for (int rep = 0; rep < 30000; ++rep) {
        auto draw = [&](unsigned n) { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return unsigned(seed >> 33) % n; };
        std::string line(draw(4) == 0 ? draw(12) : 0, ' ');
        bool plain = true;
        for (unsigned k = 0, n = 1 + draw(draw(3) ? 12 : 30); k < n; ++k) {
            const unsigned piece = draw(5) ? draw(8) : draw(19);
            plain &= piece < 5 || piece == 6 || piece == 7 || piece == 16 || piece == 17;
            line += std::string(draw(11), ' ') + int_pieces[piece] + std::string(draw(6) == 0 ? draw(3) : 0, ' ');
            if (k + 1 < n || draw(3) == 0) line += ",";
        }
        FieldViews fields;
        split_fields_ascii(line, fields);
        std::vector<int32_t> want;
        bool ints = true;
        for (std::string_view field : fields) {
            int64_t v = 0;
            ints &= parse_int_ascii(field, v) == Parse::Ok && v >= INT32_MIN && v <= INT32_MAX;
            if (ints && v) want.push_back(int32_t(v));
        }
        const size_t pad = draw(2) ? 0 : 14 + draw(4);  // read in place from 16 bytes before the line
        const std::string buffer = std::string(pad, ' ') + line + std::string(pad ? 200 : 0, ' ');
        const char* at = buffer.data() + pad;
        std::vector<int32_t> got{42};
        const bool read = read_int_line(std::string_view(at, line.size()), buffer.data(), buffer.data() + buffer.size(), got);
        CHECK(read ? ints && got == [&] { std::vector<int32_t> w{42}; w.insert(w.end(), want.begin(), want.end()); return w; }()
                   : got == std::vector<int32_t>{42});
        CHECK(read == (reads_ints && plain && line.find(',') != std::string::npos && line.size() <= 192));
        fast_lines += read;
    }
    CHECK(fast_lines > 3000 || !reads_ints);

    // The skip walk's bulk pass stops no later than the first line it must look at (3 or
    // more fields, or a field 0 that may read -1), and at it on plain text; the line
    // cursor it leaves gives the same lines as a fresh one.
    const char* skip_pieces[] = {"1", "12", ",", "-", " ", "\t", "\n", "\n", "\n", "\r\n", "\r", ".5", "E", "\x80"};
    int reached = 0;
    for (int rep = 0; rep < 20000; ++rep) {
        auto draw = [&](unsigned n) { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return unsigned(seed >> 33) % n; };
        std::string s;
        const bool plain = draw(2);  // digits, commas and line feeds only
        for (unsigned k = 0, n = draw(300); k < n; ++k) s += plain ? skip_pieces[draw(3) ? draw(3) : 6] : skip_pieces[draw(14)];
        const bool has_cr = s.find('\r') != std::string::npos;
        const std::string padded = s + std::string(draw(2) ? 80 : 0, 'x');
        const size_t begin = draw(2) && !s.empty() ? draw(unsigned(s.size())) : 0;
        const int64_t n = count_lines(padded.data(), begin, s.size(), has_cr);
        const int64_t from = n ? draw(unsigned(n)) : 0, upto = n ? from + draw(unsigned(n - from) + 1) : 0;
        ByteLines fresh, fast;
        fresh.bind(padded.data(), begin, s.size(), n, has_cr);
        fast.bind(padded.data(), begin, s.size(), n, has_cr);
        int64_t stop = from;
        for (; stop < upto; ++stop) {
            std::string_view t = fresh.line(stop);
            if (count_fields_ascii(t, 3) >= 3 || may_be_minus_one(t)) break;
        }
        const int64_t got = fast.skip_short_lines(from, upto, 2, padded.data() + padded.size());
        CHECK(got >= from && got <= stop);
        // plain text stops early only near the end of the readable bytes, or at a last line
        // without a line end
#if defined(__SSE2__)
        if (plain && got < stop)
            CHECK(padded.size() - fast.offset(got) < 128 + fast.line(got).size() || (got == n - 1 && s.back() != '\n'));
#endif
        reached += got == stop;
        for (int64_t k : {got - 1, got, got + 1})
            if (k >= 0 && k < n) CHECK(fast.line(k) == fresh.line(k));
    }
#if defined(__SSE2__)
    CHECK(reached > 8000);  // the bulk pass does pass lines
#endif

    // The bulk count of a range's value lines passes only lines of two fields or more
    // whose field 0 cannot read -1, each as count_fields_ascii counts it, up to the line
    // that brings the count to what is wanted; on plain text it goes that far, or to
    // the first line it must leave; its cursor gives the same lines as a fresh one.
    const char* value_pieces[] = {"1.5", "-2.5E-05", ",", ",", " ", "    ", "\n", "-1", "-0", "1", "\t", "\x80", ",,", "\r\n"};
    int counted = 0;
    for (int rep = 0; rep < 20000; ++rep) {
        auto draw = [&](unsigned n) { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return unsigned(seed >> 33) % n; };
        std::string s;
        const bool plain = draw(2);  // numbers, commas, blanks and line feeds only
        for (unsigned k = 0, n = draw(400); k < n; ++k) s += value_pieces[plain ? (draw(10) ? draw(6) : 6) : draw(14)];
        const bool has_cr = s.find('\r') != std::string::npos;
        const std::string padded = s + std::string(draw(2) ? 80 : 0, 'x');
        const int64_t n = count_lines(padded.data(), 0, s.size(), has_cr);
        const int64_t from = n ? draw(unsigned(n)) : 0, upto = n ? from + draw(unsigned(n - from) + 1) : 0;
        const int64_t start_have = draw(5), wanted = draw(80);
        ByteLines fresh, fast;
        fresh.bind(padded.data(), 0, s.size(), n, has_cr);
        fast.bind(padded.data(), 0, s.size(), n, has_cr);
        int64_t have = start_have;
        const int64_t got = fast.count_value_lines(from, upto, wanted, have, padded.data() + padded.size());
        int64_t stop = from, sum = start_have;  // how far the line by line count may go
        for (; stop < upto && sum < wanted; ++stop) {
            std::string_view t = fresh.line(stop);
            const size_t fields = count_fields_ascii(t);
            if (fields < 2 || may_be_minus_one(t)) break;
            if (stop < got) CHECK(t.find_first_of("\t\x80") == std::string_view::npos);
            sum += int64_t(fields);
            if (stop + 1 == got) CHECK(have == sum);
        }
        CHECK(got >= from && got <= stop && (got > from || have == start_have));
#if defined(__SSE2__)
        if (plain && got < stop) {  // only near the end of the readable bytes, at a last line without a line
                                    // end, or at one split at white space (no comma but trailing ones)
            std::string_view t = fast.line(got);
            const bool blank_split = t.substr(0, t.find_last_not_of(',') + 1).find(',') == std::string_view::npos;
            CHECK(padded.size() - fast.offset(got) < 128 + t.size() || (got == n - 1 && s.back() != '\n') || blank_split);
        }
#endif
        counted += got == stop && got > from;
        for (int64_t k : {got - 1, got, got + 1})
            if (k >= 0 && k < n) CHECK(fast.line(k) == fresh.line(k));
    }
#if defined(__SSE2__)
    CHECK(counted > 2000);  // the bulk count does pass lines
#endif

    // The one-pass `id, value` reader reads the lines read_entry_line reads as such,
    // with the same numbers, stops no later than the first other line (at it on plain
    // text), and leaves a cursor equal to a fresh one.
    const char* ids[] = {"1", "12", "123456789", "1234567890", "-1", " 7", "+3", ""};
    const char* reals[] = {"1.5", "-0.0012", "8.7495559E-05", "0.", "1e400", "12345678901234567890", " 2.5", "2.5 ",
                           "", "nan", ".5", "1D3", "1_0", "2.5,3", "-9.9999999999999999E+307", "x"};
    const char* tails[] = {",", "", ",,", ", "};
    int read_lines = 0;
    for (int rep = 0; rep < 20000; ++rep) {
        auto draw = [&](unsigned n) { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return unsigned(seed >> 33) % n; };
        std::string s;
        const bool plain = draw(2);  // lines of the plain form only, and ends of "\n"
        for (unsigned k = 0, n = draw(40); k < n; ++k) {
            s += draw(16) || plain ? ids[plain ? draw(3) : draw(8)] : std::string(draw(70), '5');
            s += ",";
            s += reals[plain ? draw(4) : draw(16)];
            s += tails[plain ? draw(3) : draw(4)];
            s += plain || draw(8) ? "\n" : "\r\n";
        }
        OnePassText t(std::move(s), draw);
        const char* readable = t.readable();
        std::vector<std::pair<int32_t, double>> want, got_pairs;
        int64_t stop = t.from;
        for (EntryLine entry; stop < t.upto && !t.has_cr; ++stop) {
            if (read_entry_line(t.fresh.line(stop), entry, [](double) { return true; }, readable) != RealLine::Read ||
                entry.range)
                break;
            want.push_back({entry.first, entry.value});
        }
        const int64_t got = t.fast.read_plain_pairs(t.from, t.upto, readable, [&](std::span<const int32_t> got_ids, std::span<const double> got_reals) {
            for (size_t k = 0; k < got_ids.size(); ++k) got_pairs.push_back({got_ids[k], got_reals[k]});
            return got_ids.size() == got_reals.size() && !got_ids.empty();
        });
        CHECK(got >= t.from && got <= stop);
        want.resize(size_t(std::max<int64_t>(got - t.from, 0)));
        CHECK(got_pairs.size() == want.size());
        for (size_t k = 0; k < std::min(want.size(), got_pairs.size()); ++k)
            CHECK(want[k].first == got_pairs[k].first && std::memcmp(&want[k].second, &got_pairs[k].second, 8) == 0);
#if defined(__SSE2__)
        if (plain && got < stop)
            CHECK(t.padded.size() - t.fast.offset(got) < 64 || (got == t.n - 1 && t.s.back() != '\n'));
#endif
        read_lines += int(got - t.from);
        CHECK(t.cursor_agrees(got));
    }
    CHECK(read_lines > 30000);

    // The one-pass reader of lines of reals reads the lines read_real_line reads (field 0
    // not a -1) while fewer than `want` values are read, with the same numbers; it stops
    // no later than the first other line (at it on plain text) and leaves a fresh cursor.
    const char* line_reals[] = {"1.5", "-0.0012", "8.7495559E-05", "0.", "12", "-1", "-1.0", "1e400", " 2.5", "",
                                "nan", "x", "\x80"};
    int reals_read = 0;
    for (int rep = 0; rep < 20000; ++rep) {
        auto draw = [&](unsigned n) { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return unsigned(seed >> 33) % n; };
        std::string s;
        const bool plain = draw(2);  // numbers that read, no -1, ends of "\n"
        for (unsigned k = 0, n = draw(30); k < n; ++k) {
            for (unsigned f = 0, m = draw(3) ? draw(12) + 1 : draw(300) + 1; f < m; ++f)
                s += std::string(line_reals[plain ? draw(5) : draw(13)]) + (f + 1 < m || draw(2) ? "," : "");
            s += plain || draw(8) ? "\n" : "\r\n";
        }
        OnePassText t(std::move(s), draw);
        const char* readable = t.readable();
        const size_t want = draw(3) ? draw(40) + 1 : SIZE_MAX;
        std::vector<double> expected, got_values;
        std::vector<size_t> line_ends;  // values read by the end of each line
        for (int64_t k = t.from; k < t.upto && !t.has_cr && expected.size() < want; ++k) {
            const std::string_view line = t.fresh.line(k);
            const size_t mark = expected.size();
            if (may_be_minus_one(line) ||
                read_real_line(line, [&](double v) { expected.push_back(v); return true; }, readable) != RealLine::Read) {
                expected.resize(mark);
                break;
            }
            line_ends.push_back(expected.size());
        }
        const int64_t got = t.fast.read_plain_reals(t.from, t.upto, want, readable, [&](std::span<const double> got_reals) {
            got_values.insert(got_values.end(), got_reals.begin(), got_reals.end());
            return !got_reals.empty();
        });
        const bool within = got >= t.from && got - t.from <= int64_t(line_ends.size());
        CHECK(within);
        const size_t taken = within && got > t.from ? line_ends[size_t(got - t.from - 1)] : 0;
        CHECK(got_values.size() == taken && (!taken || std::memcmp(got_values.data(), expected.data(), taken * sizeof(double)) == 0));
        if (plain && got - t.from < int64_t(line_ends.size()))  // a line of more fields than a batch holds
            CHECK(t.fast.line(got).size() / 2 + 2 > 256 || (got == t.n - 1 && t.s.back() != '\n'));
        reals_read += int(got - t.from);
        CHECK(t.cursor_agrees(got));
    }
    CHECK(reals_read > 8000);

    // A long value section scanned with lines read ahead on a second thread gives what
    // the scan alone gives, bit for bit, however its plain lines mix with others; in
    // sections mostly of `id, value` lines too, with continuation lines that look like them.
    const char* odd_lines[] = {"", "x", "  ", " 3, 4.5", "7 , 1.25 ,", "12,11,1.", "9 ,  8.5", "4,4,  2.5 ",
                               "6,6,1D2", "1,1,1e300", "8,8,-0.", "1,2", "-7,3.5"};
    // Also with the thread sharing one processor with the scan (it was allowed two when
    // started): then the scan gets to stretches before the thread and reads them itself;
    // and with a range's values on one line of up to 900 plain reals (a batch of the
    // thread holds 4096 values: some lines fill batches, a few do not fit one).
    for (auto [odd, pair_share, one_processor, long_lines] :
         {std::tuple{0u, 4u, false, false}, {2000u, 4u, false, false}, {300u, 4u, false, false},
          {40u, 4u, false, false}, {7u, 4u, false, false}, {0u, 11u, false, false}, {90u, 11u, false, false},
          {0u, 4u, true, false}, {40u, 11u, true, false}, {40u, 4u, false, true}}) {
        OneProcessor pinned(one_processor);
        auto draw = [&](unsigned n) { seed = seed * 6364136223846793005ULL + 1442695040888963407ULL; return unsigned(seed >> 33) % n; };
        auto real = [&] {
            static const char* forms[] = {"%.8g", "%.7E", "%.17g", "%.1f", " %.3f", "%.16E ", "%.0f"};
            char b[400];
            std::snprintf(b, sizeof b, forms[draw(long_lines ? 2 : 7)], (draw(2) ? -1.0 : 1.0) * std::ldexp(double(draw(1u << 30)), int(draw(40)) - 50));
            return std::string(b);
        };
        std::string s;
        for (int32_t id = 1; s.size() < (1u << 20) + draw(1u << 19);) {
            if (odd && draw(odd) == 0) {
                s += draw(8) ? odd_lines[draw(13)] : std::string(draw(3000), ',') + "1.5";
                s += '\n';
                continue;
            }
            if (draw(12) < pair_share) {  // an `id, value` line
                s += std::to_string(id++) + "," + real() + (draw(2) ? ",\n" : "\n");
                continue;
            }
            const unsigned count = long_lines ? draw(900) + 1 : draw(40) + 1;
            s += std::to_string(id) + "," + std::to_string(id + int32_t(count) - 1);
            id += int32_t(count);
            for (unsigned v = 0; v < count; ++v)
                s += (!long_lines && (v == 8 || (v > 8 && (v - 8) % 10 == 0)) ? ",\n" : ",") + real();
            s += ",\n";
        }
        s += draw(2) ? "-1,0.\n" : "";
        const std::string padded = s + std::string(64, ' ');
        struct Sink {
            ScanBuffer<int32_t> ids;
            ScanBuffer<double> values;
            bool pair(int32_t id, double v) { return ids.push(id) && values.push(v); }
        } alone, ahead_sink;
        ScanEnd end_alone, end_ahead;
        const int64_t n = count_lines(padded.data(), 0, s.size(), false);
        PlainLines plain;
        plain.bind(padded.data(), 0, s.size(), n, false, padded.data() + padded.size());
        const Conv c_alone = scan_vector_values(plain, n, 0, alone, end_alone);
        plain.bind(padded.data(), 0, s.size(), n, false, padded.data() + padded.size());
        ReadAhead ahead(padded.data() + s.size(), padded.data() + padded.size());
        plain.read_ahead(&ahead);
        const Conv c_ahead = scan_vector_values(plain, n, 0, ahead_sink, end_ahead);
        CHECK(ahead.started());
        CHECK(c_alone == c_ahead && end_alone.next == end_ahead.next && end_alone.failed_line == end_ahead.failed_line);
        CHECK(alone.ids.v == ahead_sink.ids.v && alone.values.v.size() == ahead_sink.values.v.size() &&
              std::memcmp(alone.values.v.data(), ahead_sink.values.v.data(), alone.values.v.size() * 8) == 0);
        CHECK(alone.values.v.size() > 20000u);
    }

    // Output vectors: a range line with a continuation line, then the terminator.
    TestLines lines{{"1,2", "T", "x", "5,6,7,8", "1,0,0", "10,12,1.", "2.,3.,4.", "-1,0.", "3,7"}};
    VectorHeader header;
    CHECK(locate_vector_header(lines, 0, header) == Conv::Ok && header.found && header.ent_type == 8 &&
          header.result_start == 5);
    struct Pairs {
        std::vector<std::pair<int32_t, double>> got;
        bool pair(int32_t id, double v) { got.push_back({id, v}); return true; }
    } pairs;
    ScanEnd end;
    CHECK(scan_vector_values(lines, lines.size(), header.result_start, pairs, end) == Conv::Ok);
    CHECK(end.next == 8 && pairs.got == (std::vector<std::pair<int32_t, double>>{{10, 1.}, {11, 2.}, {12, 3.}}));

    // Elements: a failed record resumes at its first node list line.
    TestLines elems{{"1,0,2,0,4", "10,0,20,0,40", "7,0,8,0,9,1.5", "11,12", "13"}};
    struct Elements {
        std::vector<int32_t> ids;
        bool element(int32_t id, int32_t, int32_t, const std::vector<int32_t>&) { ids.push_back(id); return true; }
    } sink;
    CHECK(walk_elements(elems, sink) && sink.ids == std::vector<int32_t>{7});

    std::printf("%s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
