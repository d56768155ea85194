// The run's name table: publish, lookup (at once or parked), unpublish,
// first-read names, the names and waits of a process that has ended; and
// PMI-1's name commands answered from it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pmi/name_table.h"
#include "pmi/pmi1_engine.h"

namespace {

using pmi::NameTable;
using pmi::PublishedName;

// One step on a table: an operation and what it must answer.
struct Step {
  char op;                 // 'p' publish, 'l' lookup, 'w' lookup that waits, 'u' unpublish, 'd' the owner ends
  std::string owner;
  std::vector<std::string> keys;  // p: key=value words (a trailing '!' makes the name first-read)
  NameTable::Status status;
  std::string found;       // l, w: "key=value ..." of what it found; p: "ticket:key=value ..." released;
                           // d: the forgotten lookups' tickets
};

std::string Show(const std::vector<PublishedName>& names) {
  std::string s;
  for (const PublishedName& n : names) s += (s.empty() ? "" : " ") + n.key + "=" + n.value;
  return s;
}

TEST(NameTable, Steps) {
  const std::vector<std::vector<Step>> cases = {
      // publish, then a second publish of the same name fails; lookup finds it
      {{'p', "a:0", {"svc=port1"}, NameTable::kDone, ""},
       {'p', "a:1", {"svc=port2"}, NameTable::kExists, ""},
       {'l', "", {"svc"}, NameTable::kDone, "svc=port1"}},
      // all or nothing: one taken name fails the whole publish
      {{'p', "a:0", {"x=1"}, NameTable::kDone, ""},
       {'p', "a:0", {"y=2", "x=3"}, NameTable::kExists, ""},
       {'l', "", {"y"}, NameTable::kNotFound, ""}},
      {{'p', "a:0", {"x=1", "x=2"}, NameTable::kExists, ""}, {'l', "", {"x"}, NameTable::kNotFound, ""}},
      // a lookup that does not wait fails at once; one that waits is released by the publish
      {{'l', "", {"late"}, NameTable::kNotFound, ""},
       {'w', "", {"late"}, NameTable::kWaits, ""},
       {'p', "a:3", {"late=here"}, NameTable::kDone, "1:late=here"}},
      // a waiting lookup of two names needs both
      {{'w', "", {"m", "n"}, NameTable::kWaits, ""},
       {'p', "a:0", {"m=1"}, NameTable::kDone, ""},
       {'p', "a:1", {"n=2"}, NameTable::kDone, "1:m=1 n=2"}},
      // a first-read name goes to one reader only
      {{'p', "a:0", {"once=v!"}, NameTable::kDone, ""},
       {'l', "", {"once"}, NameTable::kDone, "once=v"},
       {'l', "", {"once"}, NameTable::kNotFound, ""}},
      {{'w', "", {"once"}, NameTable::kWaits, ""},
       {'w', "", {"once"}, NameTable::kWaits, ""},
       {'p', "a:0", {"once=v!"}, NameTable::kDone, "1:once=v"},
       {'l', "", {"once"}, NameTable::kNotFound, ""}},
      // only its publisher unpublishes a name; it can then be published again
      {{'p', "a:0", {"s=1"}, NameTable::kDone, ""},
       {'u', "a:1", {"s"}, NameTable::kNotFound, ""},
       {'u', "a:0", {"s"}, NameTable::kDone, ""},
       {'u', "a:0", {"s"}, NameTable::kNotFound, ""},
       {'l', "", {"s"}, NameTable::kNotFound, ""},
       {'p', "a:1", {"s=2"}, NameTable::kDone, ""}},
      // a dead process's parked lookup is forgotten: the name read once goes to the live one behind it
      {{'w', "a:0", {"port"}, NameTable::kWaits, ""},
       {'w', "a:1", {"port"}, NameTable::kWaits, ""},
       {'d', "a:0", {}, NameTable::kDone, "1"},
       {'p', "b:0", {"port=p!"}, NameTable::kDone, "2:port=p"}},
      // its names go with it, and can be published again
      {{'p', "a:0", {"s=1", "t=2"}, NameTable::kDone, ""},
       {'p', "a:1", {"u=3"}, NameTable::kDone, ""},
       {'d', "a:0", {}, NameTable::kDone, ""},
       {'l', "a:1", {"s"}, NameTable::kNotFound, ""},
       {'l', "a:1", {"u"}, NameTable::kDone, "u=3"},
       {'p', "a:1", {"s=4"}, NameTable::kDone, ""}},
      // what it asks after its end (on its way when it ended) parks nothing, reads nothing, publishes nothing
      {{'p', "b:0", {"once=v!"}, NameTable::kDone, ""},
       {'d', "a:0", {}, NameTable::kDone, ""},
       {'w', "a:0", {"once"}, NameTable::kNotFound, ""},
       {'l', "a:0", {"once"}, NameTable::kNotFound, ""},
       {'p', "a:0", {"x=1"}, NameTable::kNotFound, ""},
       {'p', "b:1", {"x=2"}, NameTable::kDone, ""},
       {'l', "b:1", {"once"}, NameTable::kDone, "once=v"}},
  };
  for (size_t c = 0; c < cases.size(); ++c) {
    NameTable table;
    uint64_t ticket = 0;
    for (size_t i = 0; i < cases[c].size(); ++i) {
      const Step& s = cases[c][i];
      SCOPED_TRACE("case " + std::to_string(c) + " step " + std::to_string(i));
      std::vector<PublishedName> found;
      std::string shown;
      NameTable::Status status;
      if (s.op == 'p') {
        std::vector<PublishedName> names;
        for (std::string kv : s.keys) {
          const bool once = kv.back() == '!';
          if (once) kv.pop_back();
          names.push_back(PublishedName{kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1), s.owner, once});
        }
        std::vector<NameTable::Released> released;
        status = table.Publish(names, &released);
        for (const NameTable::Released& r : released) shown += std::to_string(r.ticket) + ":" + Show(r.found);
      } else if (s.op == 'u') {
        status = table.Unpublish(s.owner, s.keys);
      } else if (s.op == 'd') {
        std::vector<uint64_t> tickets;
        table.Drop(s.owner, &tickets);
        for (uint64_t t : tickets) shown += (shown.empty() ? "" : " ") + std::to_string(t);
        status = NameTable::kDone;
      } else {
        status = table.Lookup(s.op == 'w' ? ++ticket : 0, s.keys, 0, s.op == 'w', &found, s.owner);
        shown = Show(found);
      }
      EXPECT_EQ(status, s.status);
      EXPECT_EQ(shown, s.found);
    }
  }
}

TEST(NameTable, DropForgetsAParkedLookup) {
  NameTable table;
  std::vector<PublishedName> found;
  EXPECT_EQ(table.Lookup(7, {"k"}, 0, true, &found), NameTable::kWaits);
  table.Drop(7);
  std::vector<NameTable::Released> released;
  EXPECT_EQ(table.Publish({PublishedName{"k", "v", "a:0", false}}, &released), NameTable::kDone);
  EXPECT_TRUE(released.empty());
}

// PMI-1's words, as MPICH's simple client sends and reads them.
TEST(NameTable, Pmi1Commands) {
  pmi::JobFacts facts;
  facts.kvsname = "k";
  facts.size = facts.universeSize = 2;
  facts.clients = {{0, 0}, {1, 0}};
  NameTable table;
  pmi::Pmi1Engine engine(facts, pmi::Pmi1Serving{&table, false, false});
  auto ask = [&engine](int client, const std::string& line) {
    std::vector<pmi::Action> out;
    engine.Take(client, line, &out);
    return out.size() == 1 ? out[0].text : std::string("?");
  };
  EXPECT_EQ(ask(0, "cmd=publish_name service=ocean port=tag#0$"), "cmd=publish_result rc=0 info=ok\n");
  EXPECT_EQ(ask(1, "cmd=publish_name service=ocean port=x"), "cmd=publish_result rc=-1 info=name_exists\n");
  EXPECT_EQ(ask(1, "cmd=lookup_name service=ocean"), "cmd=lookup_result rc=0 info=ok port=tag#0$\n");
  EXPECT_EQ(ask(1, "cmd=unpublish_name service=ocean"), "cmd=unpublish_result rc=-1 info=name_not_found\n");
  EXPECT_EQ(ask(0, "cmd=unpublish_name service=ocean"), "cmd=unpublish_result rc=0 info=ok\n");
  EXPECT_EQ(ask(1, "cmd=lookup_name service=ocean"), "cmd=lookup_result rc=-1 info=name_not_found\n");
}

}  // namespace
