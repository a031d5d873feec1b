// The scanner is a byte-at-a-time state machine, so a body may be fed in pieces split
// anywhere. Names are compared exactly, prefix included, as well-formedness demands.
//
// A bound holds only if every start tag the runtime parses is one the scanner counted,
// so text is read the way the runtime's tokenizer reads it, quirks included: an entity
// reference takes up to seven bytes after '&', whatever they are; '<' may be followed by
// blanks; a comment ends at its first "--" and then, like "<!" and "<%" declarations, at
// the '>' that balances the angle brackets opened after it; a processing instruction
// ends at its first '?' and then the same way; "<![" opens CDATA at the next '['. Inside
// tags the runtime reads names byte by byte but skipped elements as text, and an unquoted
// value in a way of its own: those forms, which well-formed XML never takes, are refused.
#include "http/xml_balance.h"

#include <cstdlib>
#include <cstring>

namespace {

enum state {
    TEXT,
    ENTITY,  // the bytes an entity reference takes
    LT,      // after '<'
    START_NAME,
    IN_TAG,    // among a start tag's attributes
    AFTER_EQ,  // after an attribute's '=', before its value
    IN_VALUE,  // inside a quoted attribute value
    SLASH,     // '/' inside a start tag: '>' must follow
    END_NAME,
    END_TAIL,      // blanks after an end tag's name
    BANG,          // after "<!"
    COMMENT_OPEN,  // after "<!-"
    COMMENT,
    CDATA_OPEN,  // after "<![", up to the next '['
    CDATA,
    DECL,  // skipped up to the '>' that closes the brackets opened in it
    PI,    // <? up to the first '?'
};

const char kXmlns[] = "xmlns:";
// What the runtime takes after '&' at most, ';' included.
constexpr int kEntityBytes = 7;
// Counted over the whole body, since the runtime keeps one attribute list a message and
// looks every name up in all of it: the cost is quadratic in the body's attributes, not
// in one element's. Far above any real request (the envelope declares five namespaces,
// the requests carry no attributes), far below where parsing costs a millisecond.
constexpr int kMaxAttributes = 1024;
constexpr int kMaxNamespaces = 256;
// The runtime looks each element's and attribute's prefix up among the namespaces in
// scope, and walks its attribute list for each: a body of many elements under many
// declarations or after many attribute names costs their product.
constexpr unsigned long kMaxLookups = 1UL << 20;

const char kUnquoted[] = "request body is not well-formed XML: an attribute value without quotes";
const char kLtInValue[] = "request body is not well-formed XML: '<' in an attribute value";
const char kMarkupInTag[] = "request body is not well-formed XML: '<' or '&' inside a tag";
const char kSlash[] = "request body is not well-formed XML: '/' not followed by '>' in a tag";

// One name look-up, through every namespace declared and every attribute name seen.
void look_up(struct xml_balance *b)
{
    b->lookups +=
        static_cast<unsigned long>(b->namespaces) + static_cast<unsigned long>(b->attributes);
    if (b->lookups > kMaxLookups)
        b->too_complex = 1;
}

// The runtime ends names and skips blanks at every byte up to the space.
int blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

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

// The runtime skips up to the '>' that balances the markup's own '<' and every '<'
// after it, whatever the quotes and brackets between.
void skip_declaration(struct xml_balance *b)
{
    b->state = DECL;
    b->depth = 1;
}

// The runtime takes up to seven bytes after '&', up to the first ';', whatever they are.
void entity(struct xml_balance *b, int resume)
{
    b->state = ENTITY;
    b->resume = resume;
    b->match = 0;
}

// Follows the attribute names of a start tag. Every name counts as an attribute, with a
// value or without: the runtime keeps each one it reads, whatever its form.
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
        else if (c == '&')
            entity(b, TEXT);
        return 0;
    case ENTITY:
        if (c == ';' || ++b->match == kEntityBytes)
            b->state = b->resume;
        return 0;
    case LT:
        b->name_start = b->used;
        if (blank(c))
            return 0;
        if (c == '/') {
            b->state = END_NAME;
        } else if (c == '!') {
            b->state = BANG;
        } else if (c == '?') {
            b->state = PI;
        } else if (c == '%') {
            skip_declaration(b);
        } else {
            b->state = START_NAME;
            b->name_chars = 0;
            look_up(b);
            return 1;
        }
        return 0;
    case START_NAME:
        if (c == '<' || c == '&') {
            b->refusal = kMarkupInTag;
        } else if (blank(c) || c == '/' || c == '>') {
            if (append(b, '\0'))
                b->broken = 1;
            b->state = IN_TAG;
            return 1;
        } else if (append(b, c)) {
            b->broken = 1;
        }
        return 0;
    case IN_TAG:
        if (c == '<' || c == '&') {
            b->refusal = kMarkupInTag;
            return 0;
        }
        if (blank(c) || c == '=' || c == '/' || c == '>')
            attribute_name_end(b);
        if (c == '=')
            b->state = AFTER_EQ;
        else if (c == '/')
            b->state = SLASH;
        else if (c == '>')
            b->state = TEXT;
        else if (!blank(c))
            attribute_name_char(b, c);  // a quote too: the runtime reads it into the name
        return 0;
    case AFTER_EQ:
        if (c == '"' || c == '\'') {
            b->quote = c;
            b->state = IN_VALUE;
        } else if (!blank(c)) {
            b->refusal = kUnquoted;
        }
        return 0;
    case IN_VALUE:
        if (c == b->quote)
            b->state = IN_TAG;
        else if (c == '<')
            b->refusal = kLtInValue;
        else if (c == '&')
            entity(b, IN_VALUE);
        return 0;
    case SLASH:
        if (c != '>') {
            b->refusal = kSlash;
            return 0;
        }
        // An empty element: open and closed at once.
        b->used = b->name_start;
        b->state = TEXT;
        return 0;
    case END_NAME:
    case END_TAIL:
        if (c == '<' || c == '&') {
            b->refusal = kMarkupInTag;
        } else if (c == '>') {
            close_element(b);
            b->state = TEXT;
        } else if (blank(c)) {
            b->state = END_TAIL;
        } else if (b->state == END_TAIL) {
            b->broken = 1;
            b->state = TEXT;
        } else if (append(b, c)) {
            b->broken = 1;
        }
        return 0;
    case BANG:
        if (c == '-') {
            b->state = COMMENT_OPEN;
        } else if (c == '[') {
            b->state = CDATA_OPEN;
        } else {
            skip_declaration(b);
            return 1;
        }
        return 0;
    case COMMENT_OPEN:
        if (c != '-') {
            skip_declaration(b);
            return 1;
        }
        b->state = COMMENT;
        b->match = 0;
        return 0;
    case COMMENT:
        if (c != '-')
            b->match = 0;
        else if (b->match)
            skip_declaration(b);
        else
            b->match = 1;
        return 0;
    case CDATA_OPEN:
        if (c == '[') {
            b->state = CDATA;
            b->match = 0;
        }
        return 0;
    case CDATA:
        // Ends at "]]>": two ']' or more, then '>'.
        if (c == ']')
            b->match = b->match < 2 ? b->match + 1 : 2;
        else if (c == '>' && b->match == 2)
            b->state = TEXT;
        else
            b->match = 0;
        return 0;
    case DECL:
        if (c == '<')
            b->depth++;
        else if (c == '>' && --b->depth <= 0)
            b->state = TEXT;
        return 0;
    case PI:
        if (c == '?')
            skip_declaration(b);
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
        if (b->too_complex || b->refusal)
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
