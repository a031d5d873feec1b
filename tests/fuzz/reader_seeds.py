#!/usr/bin/env python3
"""Writes a seed corpus for reader_fuzz into the directory given: soap_fuzz's requests,
requests whose header entries and request children carry many attributes, the
runtime's costliest input, and the forms its tokenizer reads its own way."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soap_seeds  # noqa: E402


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    seeds = soap_seeds.seeds()
    attrs = "".join(' a%d=""' % i for i in range(40))
    seeds["header_attributes"] = soap_seeds.post(soap_seeds.envelope(
        "<sntr:ping/>", 1, "".join("<h%d%s/>" % (i, attrs) for i in range(8))), 1)
    seeds["child_attributes"] = soap_seeds.post(soap_seeds.envelope(
        "<sntr:get-blockedFile>%s</sntr:get-blockedFile>"
        % "".join("<c%d%s/>" % (i, attrs) for i in range(8)), 1), 1)
    # Forms the runtime's tokenizer reads its own way, each around a child with attributes.
    child = "<x%s/>" % attrs
    for name, form in (("quoted_names", '<y " a b "/>'), ("control_bytes", "<y a\x01b/>"),
                       ("comment_dashes", "<!-- -- >%s-->"), ("pi_question", "<?p ? >%s?>"),
                       ("declaration", '<!x ">%s">'), ("entity", "<y>&abc<!--</y>%s-->")):
        seeds[name] = soap_seeds.post(soap_seeds.envelope(
            "<sntr:ping>%s</sntr:ping>" % form.replace("%s", child), 1), 1)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
