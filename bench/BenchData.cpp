#include "BenchData.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace bench {
namespace {

const char* const kFirst[] = {"anna",   "bob",   "carol", "dave",    "erin",   "frank",  "grace",
                              "heidi",  "ivan",  "judy",  "mallory", "niaj",   "olivia", "peggy",
                              "rupert", "sybil", "trent", "victor",  "walter", "yolanda"};
const char* const kLast[] = {"smith",  "jones",   "brown",    "taylor",   "wilson",
                             "davies", "evans",   "thomas",   "johnson",  "roberts",
                             "walker", "wright",  "robinson", "thompson", "white",
                             "hughes", "edwards", "green",    "hall",     "wood"};
const char* const kDomains[] = {"corp.example", "mail.corp.example", "eu.corp.example",
                                "sales.example.org", "research.example.net"};

std::string Guid(std::mt19937_64& rng) {
  static const char kHex[] = "0123456789abcdef";
  std::string g = "{";
  const int groups[] = {8, 4, 4, 4, 12};
  for (int gi = 0; gi < 5; ++gi) {
    if (gi) g += '-';
    for (int i = 0; i < groups[gi]; ++i) {
      char c = kHex[rng() % 16];
      if (c >= 'a' && (rng() & 1)) c = static_cast<char>(c - 'a' + 'A');
      g += c;
    }
  }
  return g + "}";
}

}  // namespace

Directory Generate(size_t rows, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Directory d;
  d.rows.reserve(rows);
  size_t person = 0;
  while (d.rows.size() < rows) {
    std::string guid = Guid(rng);
    ++d.guids;
    size_t names = 1 + rng() % 5;
    std::string first = kFirst[rng() % 20], last = kLast[rng() % 20];
    std::string local = first + "." + last + std::to_string(person++);
    for (size_t i = 0; i < names && d.rows.size() < rows; ++i) {
      GUIDNameInfo r;
      r.guid = guid;
      if (i == 0) {
        r.status = 1;
        r.name = local + "@" + kDomains[0];
      } else if (i == names - 1 && names > 2) {
        r.status = 16;
        r.name = first + " " + last + " " + std::to_string(person);
      } else if (i % 2 == 1) {
        r.status = 2;
        r.name = local + "@" + kDomains[1 + rng() % 4];
      } else {
        r.status = 8;
        r.name = "/o=corp/ou=exchange/cn=recipients/cn=" + local;
      }
      d.rows.push_back(r);
    }
  }
  for (const auto& r : d.rows)
    if (r.status == 1 || r.status == 2) d.present.push_back(r.name);
  std::shuffle(d.present.begin(), d.present.end(), rng);
  for (size_t i = 0; i < 100000; ++i)
    d.absent.push_back("nobody" + std::to_string(i) + "@absent.example");
  return d;
}

}  // namespace bench
