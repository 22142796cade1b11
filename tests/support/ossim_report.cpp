#include "ossim_report.h"

#include "tempdir.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

// A cursor over exactly the line format the simulator writes:
// {"pid":N,"opens":N,"ioctls":["A","B"],"writes":N,"bytes":N,"underruns":N,"dry_ms":X,
//  "first_write_ms":X,"gaps":[[X,X],...]}
struct tCursor {
    const std::string& s;
    size_t pos;
};

bool expect(tCursor* c, const char* literal) {
    std::string lit = literal;
    if (c->s.compare(c->pos, lit.size(), lit) != 0) return false;
    c->pos += lit.size();
    return true;
}

bool number(tCursor* c, long long* value) {
    size_t start = c->pos;
    if (c->pos < c->s.size() && c->s[c->pos] == '-') c->pos++;
    while (c->pos < c->s.size() && c->s[c->pos] >= '0' && c->s[c->pos] <= '9')
        c->pos++;
    if (c->pos == start) return false;
    *value = std::strtoll(c->s.c_str() + start, nullptr, 10);
    return true;
}

bool decimal(tCursor* c, double* value) {
    const char* start = c->s.c_str() + c->pos;
    char* end = nullptr;
    *value = std::strtod(start, &end);
    if (end == start) return false;
    c->pos += static_cast<size_t>(end - start);
    return true;
}

bool quoted(tCursor* c, std::string* value) {
    if (!expect(c, "\"")) return false;
    size_t end = c->s.find('"', c->pos);
    if (end == std::string::npos) return false;
    *value = c->s.substr(c->pos, end - c->pos);
    c->pos = end + 1;
    return true;
}

} // namespace

bool parse_ossim_report(const std::string& line, OssimReport* r) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    tCursor c{text, 0};
    long long pid = 0, opens = 0, writes = 0, bytes = 0, underruns = 0;
    r->ioctls.clear();
    if (!expect(&c, "{\"pid\":") || !number(&c, &pid)) return false;
    if (!expect(&c, ",\"opens\":") || !number(&c, &opens)) return false;
    if (!expect(&c, ",\"ioctls\":[")) return false;
    if (!expect(&c, "]")) {
        for (;;) {
            std::string name;
            if (!quoted(&c, &name)) return false;
            r->ioctls.push_back(name);
            if (expect(&c, "]")) break;
            if (!expect(&c, ",")) return false;
        }
    }
    if (!expect(&c, ",\"writes\":") || !number(&c, &writes)) return false;
    if (!expect(&c, ",\"bytes\":") || !number(&c, &bytes)) return false;
    if (!expect(&c, ",\"underruns\":") || !number(&c, &underruns)) return false;
    double dry_ms = 0, first_write_ms = 0;
    if (!expect(&c, ",\"dry_ms\":") || !decimal(&c, &dry_ms)) return false;
    if (!expect(&c, ",\"first_write_ms\":") || !decimal(&c, &first_write_ms)) return false;
    r->gaps.clear();
    if (!expect(&c, ",\"gaps\":[")) return false;
    if (!expect(&c, "]")) {
        for (;;) {
            OssimGap g{};
            if (!expect(&c, "[") || !decimal(&c, &g.at_ms) || !expect(&c, ",") ||
                !decimal(&c, &g.ms) || !expect(&c, "]"))
                return false;
            r->gaps.push_back(g);
            if (expect(&c, "]")) break;
            if (!expect(&c, ",")) return false;
        }
    }
    if (!expect(&c, "}") || c.pos != text.size()) return false;
    r->pid = static_cast<long>(pid);
    r->opens = static_cast<int>(opens);
    r->writes = static_cast<long>(writes);
    r->bytes = bytes;
    r->underruns = static_cast<long>(underruns);
    r->dry_ms = dry_ms;
    r->first_write_ms = first_write_ms;
    return true;
}

std::vector<OssimReport> read_ossim_reports(const std::string& path) {
    std::vector<OssimReport> reports;
    if (!file_exists(path)) return reports;
    std::string text = read_file(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        OssimReport r;
        if (parse_ossim_report(line, &r)) {
            reports.push_back(r);
        } else {
            ADD_FAILURE() << "bad report line in " << path << ": " << line;
        }
    }
    return reports;
}
