// status-send: sends status messages to a running GUI connector through the sending side
// of the status channel, as a scanner daemon would. One message (optionally repeated at
// a rate) from the command line, or one per input line in batch mode.
#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "intake/channel.h"
#include "intake/decode.h"
#include "intake/dispatch.h"
#include "intake/field_text.h"
#include "intake/status_message.h"

using namespace status_msg;

namespace {

const char *const kItemNames[kItemMax + 1] = {
    nullptr,        "binVersionNumber", "engVersionNumber", "vdfVersionNumber", "currentConffile",
    "blockedFile",  "lastScannedFile",  "numDaemons",       "accessMask",       "scannedFiles",
    "scannedBytes", "blockedCount",     "logChanged",
};

void usage(FILE *out)
{
    fprintf(out, "status-send (gui-connector) %s: sends status messages as a scanner daemon does\n",
            GC_PACKAGE_VERSION);
    fputs("Usage: status-send [-d dir] [-n count] [-r rate] [-f] [-M|-U] ITEM OP KIND VALUE\n"
          "                   [VALUE2]\n"
          "  or:  status-send [-d dir] [-r rate] [-f] [-M|-U] -b   (one message per input\n"
          "                   line: ITEM OP KIND VALUE, kind 2 as VALUE<TAB>VALUE2)\n"
          "\n"
          "  -d dir    directory the channel key is made from (default \".\"; the GUI\n"
          "            connector's -d directory, or the directory of its program)\n"
          "  -n count  send the message count times (default 1)\n"
          "  -r rate   at most rate messages per second (default: as fast as possible)\n"
          "  -M, -U    do not use the message queue, or UDP\n"
          "  -b        batch mode: read messages from standard input\n"
          "  -f        send even a record the GUI connector will drop, with a warning\n"
          "  -h, --help  print this text\n"
          "  --version   print the version\n"
          "\n"
          "ITEM  number or name: 1 binVersionNumber, 2 engVersionNumber, 3 vdfVersionNumber\n"
          "      (I), 4 currentConffile (S), 5 blockedFile (2, or s with SO= BR= AN= AT= AC=\n"
          "      UM= UR=), 6 lastScannedFile (S), 7 numDaemons, 8 accessMask (I),\n"
          "      9 scannedFiles, 10 scannedBytes, 11 blockedCount (Z), 12 logChanged (I)\n"
          "OP    S (set) or I (increment; items 9-12 only)\n"
          "KIND  I 32-bit number, Z 64-bit number, S one string, 2 two strings,\n"
          "      s field text such as \"\\nSO=/home/user/report.doc\\nBR=3\\nAN=Test.Signature\"\n"
          "VALUE numbers take 0x/0 prefixes; text takes C escapes (\\n \\t \\\\ \\xHH \\ooo).\n"
          "      Strings over 449 bytes are cut and flagged as truncated (refused for\n"
          "      item 4, which the GUI connector drops cut); field text over 899 bytes,\n"
          "      an op or kind the item does not take, and a send that nobody receives\n"
          "      are errors.\n"
          "\n"
          "Exit status: 0 sent, 1 channel not opened or send failed (nothing listens),\n"
          "2 bad command line or a message the GUI connector would drop.\n",
          out);
}

// -f: a record the GUI connector would drop is sent all the same, with a warning, so
// that the connector's own refusals can be tried.
bool g_force = false;

struct message_def {
    int item;
    int op;
    int kind;
    const char *value;
    const char *value2;
};

int parse_item(const char *s)
{
    for (int i = kItemMin; i <= kItemMax; ++i)
        if (strcmp(s, kItemNames[i]) == 0)
            return i;
    char *end;
    long v = strtol(s, &end, 10);
    return *s && !*end && v >= kItemMin && v <= kItemMax ? static_cast<int>(v) : -1;
}

// Resolves C-style escapes of in into out (at most cap - 1 bytes, 0-terminated).
// Returns the decoded length (the text may hold 0 bytes), or -1 when it does not fit.
long unescape(const char *in, char *out, size_t cap)
{
    size_t n = 0;
    for (const char *p = in; *p; ++p) {
        char c = *p;
        if (c == '\\' && p[1]) {
            ++p;
            switch (*p) {
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'r': c = '\r'; break;
            case 'a': c = '\a'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'v': c = '\v'; break;
            case 'x': {
                int v = 0, digits = 0;
                while (digits < 2 && field_text_hex_value(p[1]) >= 0) {
                    v = v * 16 + field_text_hex_value(*++p);
                    ++digits;
                }
                c = digits ? static_cast<char>(v) : 'x';
                break;
            }
            default:
                if (*p >= '0' && *p <= '7') {
                    int v = *p - '0';
                    for (int k = 0; k < 2 && p[1] >= '0' && p[1] <= '7'; ++k)
                        v = v * 8 + (*++p - '0');
                    c = static_cast<char>(v);
                } else {
                    c = *p;  // \\ \" \' and anything else stand for themselves
                }
            }
        }
        if (n + 1 >= cap)
            return -1;
        out[n++] = c;
    }
    out[n] = '\0';
    return static_cast<long>(n);
}

void put_word(unsigned char *msg, size_t off, int32_t v) { memcpy(msg + off, &v, sizeof v); }

// Fills a string slot the way a scanner daemon does: an over-long string is cut and the
// slot's truncated flag set (build_message warns once the record is known to be taken).
int put_slot(unsigned char *msg, size_t slot, const char *value)
{
    static char text[64 * 1024];
    if (unescape(value, text, sizeof text) < 0) {
        fputs("status-send: string value too long\n", stderr);
        return -1;
    }
    size_t len = strlen(text);
    int32_t cut = 0;
    if (len > kSlotMaxLen) {
        len = kSlotMaxLen;
        cut = 1;
    }
    uint32_t len32 = static_cast<uint32_t>(len);
    memcpy(msg + slot + kSlotLenOff, &len32, sizeof len32);
    memcpy(msg + slot + kSlotTextOff, text, len);
    msg[slot + kSlotTextOff + len] = '\0';
    put_word(msg, slot + kSlotFlagOff, cut);
    return 0;
}

int put_field_text(unsigned char *msg, const char *value)
{
    static char text[64 * 1024];
    if (unescape(value, text, sizeof text) < 0) {
        fputs("status-send: field text too long\n", stderr);
        return -1;
    }
    field_text tb;
    field_text_reset(&tb);
    for (const char *p = text; *p; ++p)
        field_text_append_char(&tb, *p);
    // Cut, the text loses its last fields or ends inside one: refused rather than sent.
    if (tb.truncated) {
        fprintf(stderr, "status-send: %sfield text of %zu bytes does not fit its %d\n",
                g_force ? "warning: " : "", strlen(text), kTextMaxLen);
        if (!g_force)
            return -1;
    }
    memcpy(msg + kValueOff, &tb, sizeof tb);
    return 0;
}

int put_number(unsigned char *msg, int kind, const char *value)
{
    char *end;
    errno = 0;
    long long v = strtoll(value, &end, 0);
    bool bad = !*value || *end || errno == ERANGE ||
               (kind == kKindInt && (v < INT32_MIN || v > INT32_MAX));
    if (bad) {
        fprintf(stderr, "status-send: bad %s number \"%s\"\n",
                kind == kKindInt ? "32-bit" : "64-bit", value);
        return -1;
    }
    if (kind == kKindInt) {
        put_word(msg, kValueOff, static_cast<int32_t>(v));
    } else {
        int64_t v64 = v;
        memcpy(msg + kValueOff, &v64, sizeof v64);
    }
    return 0;
}

int fill_message(const message_def *def, unsigned char *msg)
{
    memset(msg, 0, kSize);
    put_word(msg, kTypeOff, kType);
    memcpy(msg + kProductOff, kProduct, sizeof kProduct);
    memcpy(msg + kSubsysOff, kSubsys, sizeof kSubsys);
    put_word(msg, kOpOff, def->op);
    put_word(msg, kItemOff, def->item);
    put_word(msg, kKindOff, def->kind);
    switch (def->kind) {
    case kKindInt:
    case kKindInt64: return put_number(msg, def->kind, def->value);
    case kKindString: return put_slot(msg, kSlotAOff, def->value);
    case kKindTwoStrings:
        if (!def->value2) {
            fputs("status-send: kind 2 needs two values\n", stderr);
            return -1;
        }
        return put_slot(msg, kSlotAOff, def->value) < 0 ? -1
                                                        : put_slot(msg, kSlotBOff, def->value2);
    default: return put_field_text(msg, def->value);
    }
}

// Builds the 944-byte record for def into msg and reads it back as the GUI connector
// will, so that a record it would drop is refused here. Returns 0, or -1 after a message.
int build_message(const message_def *def, unsigned char *msg)
{
    if (fill_message(def, msg) != 0)
        return -1;
    field_text tb;
    status_decoded dec;
    const char *why = nullptr;
    if (decode_message(msg, &tb, &dec, nullptr) != 0)
        why = "the record does not decode";
    else
        why = dispatch_refusal(&dec);
    if (!why) {
        if (dec.fields.truncated)
            fprintf(stderr, "status-send: warning: a string over %u bytes was cut to that length\n",
                    kSlotMaxLen);
        return 0;
    }
    fprintf(stderr, "status-send: %s%s with op %c and kind %c refused: %s\n",
            g_force ? "warning: " : "", kItemNames[def->item], def->op, def->kind, why);
    return g_force ? 0 : -1;
}

// Checks and converts the words ITEM OP KIND into def. Returns 0, or -1 after a message.
int parse_words(const char *item, const char *op, const char *kind, message_def *def)
{
    def->item = parse_item(item);
    if (def->item < 0) {
        fprintf(stderr, "status-send: unknown item \"%s\" (1-12 or a name, see -h)\n", item);
        return -1;
    }
    if (strcmp(op, "S") != 0 && strcmp(op, "I") != 0) {
        fprintf(stderr, "status-send: op must be S or I, not \"%s\"\n", op);
        return -1;
    }
    def->op = op[0];
    if (strlen(kind) != 1 || !strchr("IZS2s", kind[0])) {
        fprintf(stderr, "status-send: kind must be I, Z, S, 2 or s, not \"%s\"\n", kind);
        return -1;
    }
    def->kind = kind[0];
    return 0;
}

// Says in one line why nargs operands a are not a message (kind 0: not read yet):
// options stop at ITEM, so an option after it reads as one more operand. Returns 2, the
// exit status.
int bad_operands(int nargs, char **a, int kind)
{
    for (int i = 1; i < nargs; ++i)
        if (a[i][0] == '-' && isalpha(static_cast<unsigned char>(a[i][1]))) {
            fprintf(stderr,
                    "status-send: \"%s\" comes after ITEM, where it is an operand: put the "
                    "options first\n",
                    a[i]);
            return 2;
        }
    if (kind)
        fprintf(stderr, "status-send: kind %c takes %d value%s, not %d (see status-send --help)\n",
                kind, kind == '2' ? 2 : 1, kind == '2' ? "s" : "", nargs - 3);
    else
        fprintf(stderr,
                "status-send: %d operand%s: the form is ITEM OP KIND VALUE, with VALUE2 for kind "
                "2 (see status-send --help)\n",
                nargs, nargs == 1 ? "" : "s");
    return 2;
}

// Paces sends at rate per second (0: no pacing) against an absolute schedule.
void pace(double rate, timespec *next)
{
    if (rate <= 0)
        return;
    long long step = static_cast<long long>(1e9 / rate);
    next->tv_nsec += step % 1000000000LL;
    next->tv_sec += step / 1000000000LL + next->tv_nsec / 1000000000L;
    next->tv_nsec %= 1000000000L;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, next, nullptr) == EINTR) {
    }
}

int send_one(channel *ch, const unsigned char *msg, const char *dir)
{
    if (channel_send(ch, msg, kBodySize, 0, nullptr) != 0) {
        if (errno == ECONNREFUSED)
            fprintf(stderr, "status-send: send failed: no GUI connector takes messages on \"%s\"\n",
                    dir);
        else
            fprintf(stderr, "status-send: send failed: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

// Splits a batch line in place into ITEM OP KIND and the value(s).
int parse_line(char *line, message_def *def)
{
    line[strcspn(line, "\r\n")] = '\0';
    char *words[3];
    char *p = line;
    for (char *&w : words) {
        p += strspn(p, " \t");
        w = p;
        p += strcspn(p, " \t");
        if (p == w) {
            fputs("status-send: expected ITEM OP KIND VALUE\n", stderr);
            return -1;
        }
        if (*p)
            *p++ = '\0';
    }
    p += strspn(p, " \t");
    if (parse_words(words[0], words[1], words[2], def) != 0)
        return -1;
    def->value = p;
    def->value2 = nullptr;
    if (def->kind == kKindTwoStrings) {
        char *tab = strchr(p, '\t');
        if (tab) {
            *tab = '\0';
            def->value2 = tab + 1;
        }
    }
    return 0;
}

int run_batch(channel *ch, double rate, const char *dir)
{
    static char line[128 * 1024];
    unsigned char msg[kSize];
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    long lineno = 0;
    while (fgets(line, sizeof line, stdin)) {
        ++lineno;
        if (line[0] == '\n' || line[0] == '#' || line[0] == '\0')
            continue;
        message_def def;
        if (parse_line(line, &def) != 0 || build_message(&def, msg) != 0) {
            fprintf(stderr, "status-send: input line %ld refused\n", lineno);
            return 1;
        }
        if (send_one(ch, msg, dir) != 0)
            return 1;
        pace(rate, &next);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *dir = ".";
    long count = 1;
    double rate = 0;
    bool batch = false;
    enum { OPT_HELP = 256, OPT_VERSION };
    static const option longs[] = {
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    // Options end at the first word, so a negative VALUE is not taken for one.
    while ((opt = getopt_long(argc, argv, "+bd:fhMn:r:U", longs, nullptr)) != -1) {
        switch (opt) {
        case 'b': batch = true; break;
        case 'f': g_force = true; break;
        case 'd': dir = optarg; break;
        case 'M': channel_set_transport_enabled(CHANNEL_MSGQ, 0); break;
        case 'U': channel_set_transport_enabled(CHANNEL_UDP, 0); break;
        case 'n':
            count = strtol(optarg, nullptr, 10);
            if (count < 1) {
                fprintf(stderr, "status-send: bad count \"%s\"\n", optarg);
                return 2;
            }
            break;
        case 'r':
            rate = strtod(optarg, nullptr);
            if (rate <= 0) {
                fprintf(stderr, "status-send: bad rate \"%s\"\n", optarg);
                return 2;
            }
            break;
        case 'h':
        case OPT_HELP: usage(stdout); return 0;
        case OPT_VERSION: printf("status-send (gui-connector) %s\n", GC_PACKAGE_VERSION); return 0;
        default: usage(stderr); return 2;
        }
    }
    int nargs = argc - optind;
    message_def def = {};
    unsigned char msg[kSize];
    if (!batch) {
        char **a = argv + optind;
        if (nargs < 4 || nargs > 5)
            return bad_operands(nargs, a, 0);
        if (parse_words(a[0], a[1], a[2], &def) != 0)
            return 2;
        // A second value for a kind of one was dropped without a word.
        if ((nargs == 5) != (def.kind == '2'))
            return bad_operands(nargs, a, def.kind);
        def.value = a[3];
        def.value2 = nargs == 5 ? a[4] : nullptr;
        if (build_message(&def, msg) != 0)
            return 2;
    } else if (nargs != 0) {
        usage(stderr);
        return 2;
    }
    channel *ch = nullptr;
    if (channel_open(&ch, dir, kProjectId, 0600, 0) != 0) {
        fprintf(stderr, "status-send: cannot open the status channel on \"%s\": %s\n", dir,
                strerror(errno));
        return 1;
    }
    int rc = 0;
    if (batch) {
        rc = run_batch(ch, rate, dir);
    } else {
        timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        for (long i = 0; i < count && rc == 0; ++i) {
            rc = send_one(ch, msg, dir) == 0 ? 0 : 1;
            if (i + 1 < count)
                pace(rate, &next);
        }
    }
    channel_close(&ch, 0);
    return rc;
}
