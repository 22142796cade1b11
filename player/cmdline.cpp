#include "cmdline.h"

#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr const char* help_text[] = {
    "usage:   vexa [options] file [offset]\n",
    "options:\n",
    "         -c<i> set number of channels (override) to <i>\n",
    "         -d<i> set debug level to <i>\n",
    "         -h    print this message\n",
    "         -i    only print mp3 info, do not play.\n",
    "         -o<f> output to file <f>\n",
    "         -p    swap left and right channels\n",
    "         -q    quiet mode\n",
    "         -r<i> set sample rate (override) to <i>\n",
    "         -s    spin down the hard drive when buffer is full\n",
    "         -w    set word byte swapping (LE/BE conversion)\n",
    "         --no-gapless  also play the encoder's delay, padding and header frame\n",
    "\n",
};

// What a wrong command line gets on standard error after its one line.
constexpr const char* usage_text = "usage:   vexa [options] file [offset]\n"
                                   "         vexa [options] file file...\n";

int number(const char* text) {
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// The copy goes to standard output for "-o-".
void open_copy(const char* name) {
    if (std::strcmp(name, "-") == 0) {
        output_file = stdout;
        output_name = "standard output";
        return;
    }
    output_file = std::fopen(name, "w");
    output_name = name;
    if (output_file == nullptr) {
        std::perror(name);
        std::exit(1);
    }
}

} // namespace

void print_help() {
    for (const char* line : help_text)
        std::fputs(line, stdout);
}

void info_option(const char* arg) {
    if (std::strcmp(arg, "--help") == 0) {
        print_help();
        std::exit(0);
    }
    if (std::strcmp(arg, "--version") == 0) {
        std::printf("vexa %s\n", VEXA_VERSION);
        std::exit(0);
    }
}

int parse_options(int argc, char** argv) {
    int i = 1;
    // A lone dash is a file: standard input.
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i++) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) return i + 1;
        if (debug >= 1) std::printf("arg: %s\n", arg);
        const char* value = arg + 2;
        switch (arg[1]) {
        case 'a': // a lone -a leaves the choice to the player
            output_device = value[0] != '\0' ? value : nullptr;
            break;
        case 'c':
            override_channels = number(value);
            if (override_channels != 1 && override_channels != 2) {
                if (debug > 0) std::printf("override_channels invalid (%d)\n", override_channels);
                override_channels = 0;
            }
            if (debug > 0) std::printf("override_channels = %d\n", override_channels);
            break;
        case 'd':
            debug = number(value);
            if (debug > 0) std::printf("debug=%d\n", debug);
            break;
        case 'h':
            print_help();
            std::exit(1);
        case 'i':
            info_only = 1;
            silent = 1;
            break;
        case 'o':
            if (debug > 0) std::printf("outputting to file %s\n", value);
            open_copy(value);
            break;
        case 'p':
            swap_channels = 1;
            break;
        case 'q':
            silent = 1;
            if (debug > 0) std::printf("silent=%d\n", 1);
            break;
        case 'r':
            override_samplerate = number(value);
            if (override_samplerate != 11025 && override_samplerate != 22050 &&
                override_samplerate != 44100) {
                if (debug > 0)
                    std::printf("override_samplerate invalid (%d)\n", override_samplerate);
                override_samplerate = 0;
            }
            if (debug > 0) std::printf("override_samplerate = %d\n", override_samplerate);
            break;
        case 's':
            spindown = 1;
            if (debug > 0) std::printf("spindown=%d\n", 1);
            break;
        case 'w':
            swap_bytes = 0;
            if (debug > 0) std::printf("swap_bytes=%d\n", 0);
            break;
        default:
            if (std::strcmp(arg, "--no-gapless") == 0) {
                gapless = 0;
                break;
            }
            // Callers may pass the options of other versions: they are passed over.
            info_option(arg);
            std::fprintf(stderr, "vexa: unknown option %s ignored\n", arg);
            break;
        }
    }
    return i;
}

bool parse_offset(const char* text, long* seconds) {
    long field[3] = {0, 0, 0};
    int fields = 0;
    const char* p = text;
    for (;;) {
        if (*p < '0' || *p > '9') return false;
        long v = 0;
        for (; *p >= '0' && *p <= '9'; p++)
            if (v < OFFSET_LIMIT) v = v * 10 + (*p - '0');
        field[fields++] = v;
        if (*p == '\0') break;
        if (*p != ':' || fields == 3) return false;
        p++;
    }
    long total = 0;
    for (int k = 0; k < fields; k++) {
        if (k > 0 && field[k] >= 60) return false;
        total = total * 60 + field[k];
        if (total > OFFSET_LIMIT) total = OFFSET_LIMIT;
    }
    *seconds = total;
    return true;
}

bool take_operands(int argc, char** argv, int first, tOperands* out) {
    *out = {first, argc - first, 0, 0};
    if (out->count <= 0) {
        std::fputs(usage_text, stderr);
        return false;
    }
    if (out->count != 2) return true;
    const char* second = argv[first + 1];
    if (parse_offset(second, &out->offset)) {
        out->count = 1;
        out->has_offset = 1;
        return true;
    }
    // A second file, when there is one by that name.
    if (std::strcmp(second, "-") == 0 || access(second, F_OK) == 0) return true;
    std::fprintf(stderr, "vexa: %s: neither a file nor an offset (seconds, mm:ss or hh:mm:ss)\n",
                 second);
    std::fputs(usage_text, stderr);
    return false;
}
