// Parsing speed of the configuration library beside a plain line split of the
// same file, and beside filling the library's map with the same entries split
// beforehand (what any parser keeping that map pays at least): a generated
// file of about 1 MB (many short keys in many sections, some long lines), each
// run several times, the fastest run counted.
//
//   config_parse_bench [ROUNDS]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "chameleon.h"

namespace {

constexpr size_t target_size = 1 << 20;

// The map keys and values of the generated file, in the file's order.
struct Entry {
    std::string key;
    std::string value;
};

// Writes the generated file, keeps its entries and returns its size in bytes.
size_t generate(const std::string& path, std::vector<Entry>& entries) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    size_t written = 0;
    for (size_t line = 0; written < target_size; ++line) {
        const std::string section = "section_" + std::to_string(line / 100);
        std::string text;
        if (line % 100 == 0) {
            text = "[" + section + "]";
        } else if (line % 997 == 0) {
            text = "long_" + std::to_string(line) + " = " + std::string(8000, 'x');
            entries.push_back({section + "/long_" + std::to_string(line), std::string(8000, 'x')});
        } else if (line % 50 == 0) {
            text = "# comment line " + std::to_string(line);
        } else {
            text = "  key_" + std::to_string(line) + " =  value " + std::to_string(line * 7) + "  ";
            entries.push_back(
                {section + "/key_" + std::to_string(line), "value " + std::to_string(line * 7)});
        }
        text += '\n';
        out << text;
        written += text.size();
    }
    return written;
}

template <typename F>
double fastest_seconds(int rounds, F&& run) {
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        auto start = std::chrono::steady_clock::now();
        run();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    char path[] = "/tmp/config_parse_bench.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        perror("mkstemp");
        return 1;
    }
    close(fd);
    std::vector<Entry> entries;
    const size_t size = generate(path, entries);

    size_t lines = 0;
    const double split = fastest_seconds(rounds, [&] {
        std::ifstream in(path);
        std::string line;
        lines = 0;
        while (std::getline(in, line)) {
            ++lines;
        }
    });
    std::string probe;
    const double parse = fastest_seconds(rounds, [&] {
        Confile config(path);
        probe = std::string(config.Value("section_3", "key_301"));
    });
    // Each entry placed right after the one before it, as the parser does.
    size_t stored = 0;
    const double map_only = fastest_seconds(rounds, [&] {
        std::map<std::string, Chameleon> map;
        auto after = map.end();
        for (const Entry& e : entries) {
            after = map.emplace_hint(after == map.end() ? after : std::next(after),
                                     std::piecewise_construct, std::forward_as_tuple(e.key),
                                     std::forward_as_tuple(e.value));
        }
        stored = map.size();
    });
    unlink(path);
    if (stored != entries.size()) {
        fprintf(stderr, "the map holds %zu entries of %zu\n", stored, entries.size());
        return 1;
    }
    if (probe != "value 2107") {
        fprintf(stderr, "unexpected value \"%s\" for [section_3] key_301\n", probe.c_str());
        return 1;
    }

    const double mb = static_cast<double>(size) / (1 << 20);
    printf("file: %zu bytes, %zu lines, fastest of %d rounds\n", size, lines, rounds);
    printf("getline split: %8.1f MB/s\n", mb / split);
    printf("Confile parse: %8.1f MB/s\n", mb / parse);
    printf("map alone:     %8.1f MB/s\n", mb / map_only);
    printf("ratio (split / parse): %.2f\n", parse / split);
    printf("ratio (map alone / parse): %.2f\n", parse / map_only);
    return 0;
}
