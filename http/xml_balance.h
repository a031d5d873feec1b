// Tag balance of a request body, checked as the bytes stream by. The runtime skips
// elements it does not know by counting angle brackets and compares end tags with start
// tags only in its strict mode, which would also refuse unknown children; so a body
// with crossed or mismatched end tags was served as if it were well-formed. This scanner
// reads start tags, end tags, entity references, comments, CDATA sections, processing
// instructions and declarations where the runtime's tokenizer does, and remembers the
// first end tag that closes the wrong element. It also counts what costs the runtime time
// quadratic in its number, over the whole body (the unit of every bound is one message):
// its attributes of every form, namespace declarations included (at most 1024), its
// namespace declarations (at most 256), and the look-ups of its elements' and attributes'
// names, each through every namespace declared and every attribute name seen before it
// (at most 2^20 steps). Forms the runtime would read two ways are refused.
// One per connection, used by that connection's thread only; no lock.
#ifndef GC_HTTP_XML_BALANCE_H
#define GC_HTTP_XML_BALANCE_H

#include <cstddef>

struct xml_balance {
    int state;
    int broken;   // an end tag closed the wrong element, or one with none open
    char *names;  // the open elements' names, each ended by '\0'
    size_t used;
    size_t size;
    size_t name_start;      // where the name being read begins in names
    int match;              // "-" or "]]" seen, or the bytes an entity reference took
    int depth;              // angle bracket depth inside a declaration
    char quote;             // the quote that ends the current attribute value
    int resume;             // the state an entity reference returns to
    int too_complex;        // too many attributes, namespaces or look-ups
    const char *refusal;    // why the body is refused unread (a static text), or null
    int attributes;         // attribute names in the body so far
    int namespaces;         // declared in the body so far
    unsigned long lookups;  // steps of prefix look-ups so far
    int name_chars;         // of the attribute name being read, 0 between names
    int xmlns;              // how far that name matches "xmlns" or "xmlns:", -1 not at all
};

// Starts a new body: nothing open, not broken. Keeps the name buffer for reuse.
void xml_balance_reset(struct xml_balance *b);
// Scans the next n bytes of the body; sets b->broken at the first misplaced end tag
// (and when memory for the open names runs out, so that nothing passes unchecked), and
// goes on counting attributes, valued or not, and namespaces to the body's end.
// Returns how many bytes it took: fewer than n when b->too_complex or b->refusal was
// set, in which case the byte at the result is the first one past a bound, or the one
// refused: an unquoted attribute value, '<' in a value, '<' or '&' elsewhere in a tag,
// or '/' without '>' after it in a start tag.
size_t xml_balance_feed(struct xml_balance *b, const char *p, size_t n);
// Frees the name buffer; b may be reset and fed again afterwards.
void xml_balance_free(struct xml_balance *b);

#endif
