#include "lucidlink/perf_stream_parser.hpp"

#include <gtest/gtest.h>

namespace velmora {

// Readable failure messages.
void PrintTo(const LucidPerfDictionary& dictionary, std::ostream* out) {
  for (const auto& [metric, value] : dictionary) *out << " " << rawValue(metric) << "='" << value << "'";
}

void PrintTo(const LucidPerfUpdate& update, std::ostream* out) {
  *out << "{" << rawValue(update.dataLayer) << " @" << update.timestamp << ":";
  PrintTo(update.dictionary, out);
  *out << "}";
}

namespace detail {

void PrintTo(const LucidPerfParser::ColumnRange& range, std::ostream* out) {
  *out << "[" << range.begin << "," << range.end << ") #" << static_cast<int>(range.header);
}

namespace {

using M = LucidPerfMetric;
using L = LucidDataLayer;
using Header = LucidPerfParser::ColumnHeader;

class Collector : public LucidLinkPerformanceUpdateReciever {
 public:
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override { updates.push_back(update); }
  std::vector<LucidPerfUpdate> updates;
};

std::vector<LucidPerfUpdate> parseAll(const std::string& text) {
  LucidPerfParser parser;
  Collector collector;
  parser.processOutput(text, collector);
  return collector.updates;
}

TEST(PerfParser, ColumnRangesFollowTheMarkers) {
  using R = LucidPerfParser::ColumnRange;
  EXPECT_EQ(LucidPerfParser::columnRanges("-- time -- -- fs --  -- cache --"),
            (std::vector<R>{{0, 11, Header::time}, {11, 21, Header::fileSystem}, {21, 32, Header::cache}}));
  EXPECT_EQ(LucidPerfParser::columnRanges("------ fs ------"), (std::vector<R>{{4, 16, Header::fileSystem}}));
  EXPECT_EQ(LucidPerfParser::columnRanges("-- cache -- -- time --"),
            (std::vector<R>{{0, 12, Header::cache}, {12, 22, Header::time}}));
  EXPECT_TRUE(LucidPerfParser::columnRanges("---------").empty());
  EXPECT_EQ(LucidPerfParser::columnRanges("-- fs -- -- fs --"), (std::vector<R>{{0, 17, Header::fileSystem}}));
}

struct StreamCase {
  const char* name;
  std::string text;
  std::vector<LucidPerfUpdate> expected;
};

TEST(PerfParser, HandlesTheDocumentedShapes) {
  const std::string markers = "-- time ------------ -- fs ---------- -- cache --\n";
  const std::string names = "currentDateAndTimeUTC readBytes writes  %hits\n";
  const StreamCase cases[] = {
      {"fs only", "-- time ------------ -- fs ---------------\ncurrentDateAndTimeUTC readBytes writes\n10:00:01             5MiB/s    7\n",
       {{L::fileSystem, "10:00:01", {{M::readBytes, "5MiB/s"}, {M::writes, "7"}}}}},
      {"banner before the first marker line is ignored",
       "Starting monitor\nwaiting...\n" + markers + names + "t1                    1         2       50%\n",
       {{L::fileSystem, "t1", {{M::readBytes, "1"}, {M::writes, "2"}}}, {L::cache, "t1", {{M::cacheHits, "50%"}}}}},
      {"repeated column-name line is skipped", markers + names + names + "t2                    1         2       3\n",
       {{L::fileSystem, "t2", {{M::readBytes, "1"}, {M::writes, "2"}}}, {L::cache, "t2", {{M::cacheHits, "3"}}}}},
      {"repeated marker line is read again", markers + names + markers + "t3                    1         2       3\n",
       {{L::fileSystem, "t3", {{M::readBytes, "1"}, {M::writes, "2"}}}, {L::cache, "t3", {{M::cacheHits, "3"}}}}},
      {"no time marker gives nothing", "-- fs ---------- -- cache --\nreadBytes        %hits\n1                2\n", {}},
      {"marker line without markers silences samples", markers + names + "----------\nt4 1 2 3\n", {}},
      {"sample before any column-name line", "t0 1 2\n", {}},
      {"unknown name shifts values onto the next ones",
       "-- time ------------ -- fs ----------\ncurrentDateAndTimeUTC foo readBytes\nt5                    1   2\n",
       {{L::fileSystem, "t5", {{M::readBytes, "1"}, {M::unrecognized, "2"}}}}},
      {"missing tokens are empty strings",
       "-- time ------------ -- fs -------------------\ncurrentDateAndTimeUTC readBytes writes reads\nt6                    1\n",
       {{L::fileSystem, "t6", {{M::readBytes, "1"}, {M::writes, ""}, {M::reads, ""}}}}},
      {"CRLF line ends", "-- time ------------ -- fs --\r\ncurrentDateAndTimeUTC reads\r\nt7                    9\r\n",
       {{L::fileSystem, "t7", {{M::reads, "9"}}}}},
      {"time token with a space", "-- time ------------ -- fs --\ncurrentDateAndTimeUTC reads\n10:00 01              9\n",
       {{L::fileSystem, "10:00", {{M::reads, "9"}}}}},
      {"section of spaces only", "-- time ------------ -- fs ----------\ncurrentDateAndTimeUTC reads writes\nt8\n",
       {{L::fileSystem, "t8", {{M::reads, ""}, {M::writes, ""}}}}},
      {"repeated metric name keeps the first pair",
       "-- time ------------ -- fs ---------\ncurrentDateAndTimeUTC reads reads\nt9                    1     2\n",
       {{L::fileSystem, "t9", {{M::reads, "1"}}}}},
      {"several extra tokens keep the first as unrecognized",
       "-- time ------------ -- fs ---------\ncurrentDateAndTimeUTC reads\nt10                   1 2 3\n",
       {{L::fileSystem, "t10", {{M::reads, "1"}, {M::unrecognized, "2"}}}}},
      {"values of one sample line never linger into the next",
       "-- time ------------ -- fs ----------\ncurrentDateAndTimeUTC reads writes\nt14                   1     2     3\n"
       "t15                   4\n",
       {{L::fileSystem, "t14", {{M::reads, "1"}, {M::writes, "2"}, {M::unrecognized, "3"}}},
        {L::fileSystem, "t15", {{M::reads, "4"}, {M::writes, ""}}}}},
      {"a line shorter than the stretches is cut at its end",
       "-- time ------------ -- fs ---------- -- cache --\ncurrentDateAndTimeUTC readBytes writes  %hits\nt11\n",
       {{L::fileSystem, "t11", {{M::readBytes, ""}, {M::writes, ""}}}, {L::cache, "t11", {{M::cacheHits, ""}}}}},
      {"other line breaks end lines too",
       "-- time ------------ -- fs --\xE2\x80\xA8" "currentDateAndTimeUTC reads\x0B" "t12                   4\xC2\x85",
       {{L::fileSystem, "t12", {{M::reads, "4"}}}}},
      {"a section added after the names has only unrecognized values",
       "-- time ------------ -- fs --\ncurrentDateAndTimeUTC reads\n-- time ------------ -- fs -- -- cache --\n"
       "t13                  1        2\n",
       {{L::fileSystem, "t13", {{M::reads, "1"}}}, {L::cache, "t13", {{M::unrecognized, "2"}}}}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseAll(c.text), c.expected) << c.name;
}

// A recorded stream fed in two blocks split at every byte offset gives the
// same updates as the stream fed whole.
TEST(PerfLineStream, SplittingTheStreamAnywhereChangesNothing) {
  const std::string stream = "banner\r\n-- time ------------ -- fs ---------- -- cache --\r\n"
                             "currentDateAndTimeUTC readBytes writes  %hits\r\n"
                             "t1                    1.5MiB/s  2       50%\r\n"
                             "\xff\xfe not UTF-8 at all\n"
                             "t2                    caf\xC3\xA9      3       51%\n"
                             "t3                    3         4       52%\n"
                             "unfinished last line";
  Collector whole;
  PerfLineStream reference;
  reference.feed(stream, whole);
  ASSERT_EQ(whole.updates.size(), 6u);
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    Collector pieces;
    PerfLineStream split;
    split.feed(std::string_view(stream).substr(0, cut), pieces);
    split.feed(std::string_view(stream).substr(cut), pieces);
    ASSERT_EQ(pieces.updates, whole.updates) << "cut at " << cut;
  }
}

TEST(PerfLineStream, OverlongLinesAreDroppedAndMemoryStaysBounded) {
  Collector collector;
  PerfLineStream stream;
  stream.feed("-- time ------------ -- fs --\ncurrentDateAndTimeUTC reads\n", collector);
  const std::string chunk(64 * 1024, 'x');
  for (int i = 0; i < 64; ++i) {  // 4 MiB without a line feed
    stream.feed(chunk, collector);
    EXPECT_LE(stream.pendingBytes(), PerfLineStream::kMaxLine);
  }
  stream.feed("still the same line\nt1                    7\n", collector);
  ASSERT_EQ(collector.updates.size(), 1u);
  EXPECT_EQ(collector.updates[0].timestamp, "t1");
  EXPECT_EQ(stream.pendingBytes(), 0u);
}

}  // namespace
}  // namespace detail
}  // namespace velmora
