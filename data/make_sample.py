#!/usr/bin/env python3
"""Writes data/sample_directory.tsv: a realistic export of a mail directory.

The file has the layout of the application manager's GUID table export, one
row per line, "status<TAB>GUID<TAB>name", and is what `guidlookup import`
reads. The generator is seeded, so running it again gives the same bytes:

    python3 data/make_sample.py            # rewrites data/sample_directory.tsv
    python3 data/make_sample.py --check    # exit 1 if the file is out of date

What the rows look like:
  * Exchange mailboxes. Each GUID has one primary SMTP address (status 1),
    zero to three proxy SMTP addresses (status 2, some on a second domain,
    some with upper-case letters), a display name (status 8) and a legacy
    Exchange DN (status 16). GUIDs are in braces, some upper case, some lower.
  * A handful of fixed mailboxes that the demo, the README and the tests use:
    john_smith@contoso.com (an underscore, with john.smith@contoso.com as a
    different person next to it), {3F2504E0-4F89-11D3-9A0C-0305E82C3301}, and
    one 200-character address.
  * A few Lotus Notes people: statuses 1, 128 (canonical name), 64
    (abbreviated name) and 288 (short name), GUIDs as 32 hex digits without
    braces.
"""

import argparse
import os
import random
import uuid
import sys

SEED = 20261208
MAILBOXES = 760          # random Exchange mailboxes besides the fixed ones
NOTES_PEOPLE = 6

FIRST = """Anna Bert Carla Dmitri Elena Farid Greta Hugo Ines Jonas Karin Lars Mona
Nils Olga Paul Quinn Rosa Sven Tara Ugo Vera Wim Xenia Yusuf Zoe Amir Bea Chen
Dara Emil Fiona Goran Hana Ivo Jana Kofi Lea Marek Nora Omar Petra Raj Sara Timo
Ulla Viktor Wanda Yara Zeno""".split()
LAST = """Berg Costa Dahl Eriksen Fischer Garcia Holm Ivanova Jensen Kowalski Lindqvist
Moreau Nakamura Okafor Petrov Quist Rossi Schmidt Tanaka Ulrich Varga Weber Yilmaz
Zimmermann Andersson Bauer Castillo Dubois Esposito Fontaine Grimaldi Hansen
Ito Jovanovic Keller Laine Meyer Novak Olsen Pereira""".split()
DEPARTMENTS = ["Sales", "Finance", "Legal", "IT", "Research", "Support", "HR"]

PRIMARY_DOMAIN = "contoso.com"
SECOND_DOMAIN = "fabrikam.com"
LEGACY_PREFIX = "/o=Contoso/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)/cn=Recipients/cn="


def braced_guid(rng, upper):
    text = "{%s}" % uuid.UUID(int=rng.getrandbits(128), version=4)
    return text.upper() if upper else text


def exchange_rows(guid, primary, proxies, display, legacy):
    rows = [(1, guid, primary)]
    rows += [(2, guid, p) for p in proxies]
    rows += [(8, guid, display), (16, guid, legacy)]
    return rows


def fixed_mailboxes():
    """Mailboxes named in the README, the demo and the tests."""
    rows = exchange_rows(
        "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}", "john_smith@contoso.com",
        ["jsmith@contoso.com", "John_Smith@fabrikam.com", "SMTP.John_Smith@contoso.com"],
        "Smith, John", LEGACY_PREFIX + "john_smith")
    # A different person whose address differs from the one above only where
    # the underscore stands: a lookup that took "_" as a wildcard would mix
    # them up.
    rows += exchange_rows(
        "{9B2E7F4A-1C3D-4E5F-8A9B-0C1D2E3F4A5B}", "john.smith@contoso.com",
        ["john.smith@fabrikam.com"], "Smith, John (Finance)", LEGACY_PREFIX + "john.smith")
    # The longest kind of address an operator meets: 200 characters.
    domain = "@archive.contoso.com"
    words = ("journal.mailbox.for.the.records.management.department.of.the.northern.region."
             "legal.hold.retention.policy.seven.years.litigation.and.compliance.archive."
             "european.union.subsidiaries.and.branch.offices").split(".")
    local = words[0]
    for word in words[1:]:
        if len(local) + 1 + len(word) + len(domain) > 200:
            break
        local += "." + word
    local += "0123456789"[: 200 - len(local) - len(domain)]
    long_address = local + domain
    assert len(long_address) == 200, len(long_address)
    rows += exchange_rows(
        "{0D5C3A1B-7E6F-4A2B-9C8D-E1F2A3B4C5D6}", long_address,
        ["journal.north@contoso.com"], "Journal, Northern Region", LEGACY_PREFIX + "journalnorth")
    # A shared mailbox with mixed case everywhere.
    rows += exchange_rows(
        "{a1b2c3d4-E5F6-47a8-B9C0-D1E2F3A4B5C6}", "Helpdesk@Contoso.com",
        ["SUPPORT@contoso.com", "helpdesk@fabrikam.com"], "Helpdesk",
        LEGACY_PREFIX + "helpdesk")
    return rows


def random_mailboxes(rng):
    rows = []
    used = set(name.lower() for _, _, name in fixed_mailboxes())
    made = 0
    while made < MAILBOXES:
        first, last = rng.choice(FIRST), rng.choice(LAST)
        local = "%s.%s" % (first.lower(), last.lower())
        n = 2
        while local + "@" + PRIMARY_DOMAIN in used:
            local = "%s.%s%d" % (first.lower(), last.lower(), n)
            n += 1
        primary = local + "@" + PRIMARY_DOMAIN
        used.add(primary)
        proxies = []
        for _ in range(rng.choice([0, 1, 1, 2, 2, 3])):
            kind = rng.random()
            if kind < 0.4:
                candidate = "%s%s@%s" % (first[0].lower(), last.lower(), PRIMARY_DOMAIN)
            elif kind < 0.7:
                candidate = "%s@%s" % (local, SECOND_DOMAIN)
            elif kind < 0.85:
                candidate = "%s.%s@%s" % (first, last, PRIMARY_DOMAIN)  # mixed case
            else:
                candidate = "%s.%s@%s.%s" % (first.lower(), last.lower(),
                                             rng.choice(DEPARTMENTS).lower(), PRIMARY_DOMAIN)
            if candidate.lower() not in used:
                used.add(candidate.lower())
                proxies.append(candidate)
        display = "%s, %s" % (last, first)
        if rng.random() < 0.3:
            display += " (%s)" % rng.choice(DEPARTMENTS)
        guid = braced_guid(rng, upper=rng.random() < 0.5)
        rows += exchange_rows(guid, primary, proxies, display, LEGACY_PREFIX + local)
        made += 1
    return rows


def notes_people(rng):
    rows = []
    for i in range(NOTES_PEOPLE):
        first, last = FIRST[(i * 7) % len(FIRST)], LAST[(i * 5) % len(LAST)]
        unid = "%032X" % rng.getrandbits(128)  # Notes UNIDs: 32 hex digits, no braces
        rows += [
            (1, unid, "%s.%s@notes.contoso.com" % (first.lower(), last.lower())),
            (128, unid, "CN=%s %s/OU=Mail/O=Contoso" % (first, last)),
            (64, unid, "%s %s/Mail/Contoso" % (first, last)),
            (288, unid, "%s%s" % (first[0], last)),
        ]
    return rows


def build():
    rng = random.Random(SEED)
    rows = fixed_mailboxes() + random_mailboxes(rng) + notes_people(rng)
    out = ["# Sample mail directory for guidlookups, written by data/make_sample.py (seed %d)." % SEED,
           "# One row per line: status<TAB>GUID<TAB>name. Exchange: 1 primary SMTP, 2 proxy SMTP,",
           "# 8 display name, 16 legacy DN. Lotus Notes: 1 SMTP, 128 canonical, 64 abbreviated, 288 short."]
    out += ["%d\t%s\t%s" % row for row in rows]
    return "\n".join(out) + "\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=os.path.join(here, "sample_directory.tsv"))
    parser.add_argument("--check", action="store_true",
                        help="compare with the file instead of writing it")
    args = parser.parse_args()
    text = build()
    if args.check:
        try:
            with open(args.output, encoding="utf-8") as f:
                same = f.read() == text
        except OSError:
            same = False
        print("%s is %s" % (args.output, "up to date" if same else "out of date"))
        return 0 if same else 1
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    print("wrote %s: %d rows" % (args.output, text.count("\n") - 3))
    return 0


if __name__ == "__main__":
    sys.exit(main())
