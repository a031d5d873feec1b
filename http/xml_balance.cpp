// The scanner is a byte-at-a-time state machine, so a body may be fed in pieces split
// anywhere. Names are compared exactly, prefix included, as well-formedness demands.
#include "http/xml_balance.h"

#include <cstdlib>
#include <cstring>

namespace {

enum state {
    TEXT,
    LT,  // after '<'
    START_NAME,
    IN_TAG,      // among a start tag's attributes
    AFTER_EQ,    // after an attribute's '=', before its value
    IN_VALUE,    // inside a quoted attribute value
    BARE_VALUE,  // inside an unquoted attribute value
    SLASH,       // '/' inside a start tag: an empty element if '>' follows
    END_NAME,
    END_TAIL,      // blanks after an end tag's name
    BANG,          // after "<!"
    COMMENT_OPEN,  // after "<!-"
    COMMENT,
    CDATA_OPEN,  // reading "[CDATA[" after "<!"
    CDATA,
    DECL,  // <!DOCTYPE ...> and the like, with an internal subset in brackets
    PI,    // <? ... ?>
};

const char kCdataOpen[] = "[CDATA[";
const char kXmlns[] = "xmlns:";
// Counted over the whole body, since the runtime keeps one attribute list a message and
// looks every name up in all of it: the cost is quadratic in the body's attributes, not
// in one element's. Far above any real request (the envelope declares five namespaces,
// the requests carry no attributes), far below where parsing costs a millisecond.
constexpr int kMaxAttributes = 1024;
constexpr int kMaxNamespaces = 256;
// The runtime looks each element's and attribute's prefix up among the namespaces in
// scope: a body of many elements under many declarations costs their product.
constexpr unsigned long kMaxLookups = 1UL << 20;

// One prefix look-up, through every namespace declared so far.
void look_up(struct xml_balance *b)
{
    b->lookups += static_cast<unsigned long>(b->namespaces);
    if (b->lookups > kMaxLookups)
        b->too_complex = 1;
}

int blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int append(struct xml_balance *b, char c)
{
    if (b->used == b->size) {
        const size_t size = b->size ? b->size * 2 : 256;
        char *names = static_cast<char *>(realloc(b->names, size));
        if (!names)
            return -1;
        b->names = names;
        b->size = size;
    }
    b->names[b->used++] = c;
    return 0;
}

// The end tag's name sits at names[name_start, used); the innermost open element's
// name ends right before name_start.
void close_element(struct xml_balance *b)
{
    const size_t end_len = b->used - b->name_start;
    if (b->name_start == 0) {
        b->broken = 1;
        return;
    }
    size_t top = b->name_start - 1;  // its '\0'
    while (top > 0 && b->names[top - 1] != '\0')
        top--;
    const size_t top_len = b->name_start - 1 - top;
    if (top_len != end_len || memcmp(b->names + top, b->names + b->name_start, end_len) != 0)
        b->broken = 1;
    b->used = top;
}

// Comments end with "-->" and CDATA sections with "]]>": back to text after two of
// twice and then '>'.
void ends_after_two(struct xml_balance *b, char c, char twice)
{
    if (c == twice)
        b->match = b->match < 2 ? b->match + 1 : 2;
    else if (c == '>' && b->match == 2)
        b->state = TEXT;
    else
        b->match = 0;
}

// Follows the attribute names of a start tag. Every name counts as an attribute, with a
// value or without, quoted or not: the runtime keeps each one it reads, whatever its form.
void attribute_name_char(struct xml_balance *b, char c)
{
    if (b->name_chars++ == 0) {
        b->xmlns = 0;
        if (++b->attributes > kMaxAttributes)
            b->too_complex = 1;
        look_up(b);
    }
    if (b->xmlns >= 0 && b->xmlns < 6)
        b->xmlns = c == kXmlns[b->xmlns] ? b->xmlns + 1 : -1;
}

// The attribute name being read ends; a namespace declaration is counted here.
void attribute_name_end(struct xml_balance *b)
{
    if (b->name_chars && (b->xmlns == 5 || b->xmlns == 6) && ++b->namespaces > kMaxNamespaces)
        b->too_complex = 1;
    b->name_chars = 0;
}

// Scans one byte; returns 0 when it was taken, 1 when the new state must see it again.
int step(struct xml_balance *b, char c)
{
    switch (b->state) {
    case TEXT:
        if (c == '<')
            b->state = LT;
        return 0;
    case LT:
        b->name_start = b->used;
        if (c == '/') {
            b->state = END_NAME;
        } else if (c == '!') {
            b->state = BANG;
        } else if (c == '?') {
            b->state = PI;
            b->match = 0;
        } else {
            b->state = START_NAME;
            b->name_chars = 0;
            look_up(b);
            return 1;
        }
        return 0;
    case START_NAME:
        if (blank(c) || c == '/' || c == '>') {
            if (append(b, '\0'))
                b->broken = 1;
            b->state = IN_TAG;
            return 1;
        }
        if (append(b, c))
            b->broken = 1;
        return 0;
    case IN_TAG:
        if (blank(c) || c == '=' || c == '"' || c == '\'' || c == '/' || c == '>')
            attribute_name_end(b);
        if (c == '"' || c == '\'') {
            // A value with no name before it still costs the runtime an attribute.
            if (++b->attributes > kMaxAttributes)
                b->too_complex = 1;
            b->quote = c;
            b->state = IN_VALUE;
        } else if (c == '=') {
            b->state = AFTER_EQ;
        } else if (c == '/') {
            b->state = SLASH;
        } else if (c == '>') {
            b->state = TEXT;
        } else if (!blank(c)) {
            attribute_name_char(b, c);
        }
        return 0;
    case AFTER_EQ:
        if (c == '"' || c == '\'') {
            b->quote = c;
            b->state = IN_VALUE;
        } else if (c == '>' || c == '/') {
            b->state = IN_TAG;
            return 1;
        } else if (!blank(c)) {
            b->state = BARE_VALUE;
        }
        return 0;
    case IN_VALUE:
        if (c == b->quote)
            b->state = IN_TAG;
        return 0;
    case BARE_VALUE:
        if (blank(c) || c == '>' || c == '/') {
            b->state = IN_TAG;
            return 1;
        }
        return 0;
    case SLASH:
        if (c != '>') {
            b->state = IN_TAG;
            return 1;
        }
        // An empty element: open and closed at once.
        b->used = b->name_start;
        b->state = TEXT;
        return 0;
    case END_NAME:
        if (blank(c)) {
            b->state = END_TAIL;
        } else if (c == '>') {
            close_element(b);
            b->state = TEXT;
        } else if (append(b, c)) {
            b->broken = 1;
        }
        return 0;
    case END_TAIL:
        if (blank(c))
            return 0;
        if (c == '>')
            close_element(b);
        else
            b->broken = 1;
        b->state = TEXT;
        return 0;
    case BANG:
        if (c == '-') {
            b->state = COMMENT_OPEN;
        } else if (c == '[') {
            b->state = CDATA_OPEN;
            b->match = 1;
        } else {
            b->state = DECL;
            b->depth = 0;
            b->quote = 0;
            return 1;
        }
        return 0;
    case COMMENT_OPEN:
        b->match = 0;
        b->state = c == '-' ? COMMENT : DECL;
        return c == '-' ? 0 : 1;
    case COMMENT: ends_after_two(b, c, '-'); return 0;
    case CDATA_OPEN:
        if (c != kCdataOpen[b->match]) {
            b->state = DECL;
            b->depth = 0;
            b->quote = 0;
            return 1;
        }
        if (++b->match == static_cast<int>(sizeof kCdataOpen) - 1) {
            b->state = CDATA;
            b->match = 0;
        }
        return 0;
    case CDATA: ends_after_two(b, c, ']'); return 0;
    case DECL:
        if (b->quote) {
            if (c == b->quote)
                b->quote = 0;
        } else if (c == '"' || c == '\'') {
            b->quote = c;
        } else if (c == '[') {
            b->depth++;
        } else if (c == ']') {
            b->depth--;
        } else if (c == '>' && b->depth <= 0) {
            b->state = TEXT;
        }
        return 0;
    case PI:
        if (c == '>' && b->match)
            b->state = TEXT;
        else
            b->match = c == '?';
        return 0;
    }
    return 0;
}

}  // namespace

void xml_balance_reset(struct xml_balance *b)
{
    // One assignment, so that a field added later cannot be left over from the last
    // body; TEXT is the zero state. The name buffer is kept for reuse.
    struct xml_balance fresh {};
    fresh.names = b->names;
    fresh.size = b->size;
    *b = fresh;
}

// A broken body is refused once the runtime has read it, so the bounds are checked to
// its end all the same: until then the runtime spends on it what it would on any other.
size_t xml_balance_feed(struct xml_balance *b, const char *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        while (step(b, p[i])) {
        }
        if (b->too_complex)
            return i;
    }
    return n;
}

void xml_balance_free(struct xml_balance *b)
{
    free(b->names);
    b->names = nullptr;
    b->used = b->size = b->name_start = 0;
}
