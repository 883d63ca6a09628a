// The Telnet receive filter and send transform as a state machine, without sockets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port/qp_dispatch_log.h"
#include "port/telnet_filter.h"

using namespace quodra::port;

namespace {

struct TFilterRun {
  std::string Data;
  std::string Sent;
  std::vector<std::pair<int, uint32_t>> Log;  // subtype, data
};

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

void Attach(TTelnetFilter& f, TFilterRun& run) {
  f.OnSend = [&run](const uint8_t* b, size_t n) { run.Sent.append(reinterpret_cast<const char*>(b), n); };
  f.OnLog = [&run](uint8_t sub, uint32_t data, const uint8_t*, uint32_t) { run.Log.emplace_back(sub, data); };
}

void FeedInto(TTelnetFilter& f, TFilterRun& run, const std::string& in) {
  std::string out(in.size(), '\0');
  size_t n = f.Filter(reinterpret_cast<const uint8_t*>(in.data()), in.size(), reinterpret_cast<uint8_t*>(out.data()));
  run.Data += out.substr(0, n);
}

TFilterRun FilterRun(const std::string& in, const std::vector<size_t>& cuts = {}) {
  TTelnetFilter f;
  TFilterRun run;
  Attach(f, run);
  size_t start = 0;
  for (size_t cut : cuts) {
    FeedInto(f, run, in.substr(start, cut - start));
    start = cut;
  }
  FeedInto(f, run, in.substr(start));
  return run;
}

std::string Transform(const std::string& data, bool binary = false, size_t room = 1000, size_t* taken = nullptr) {
  TTelnetFilter f;
  if (binary) f.SetOptionState(kTelnetOptBinary, tsOn);
  std::string out(room, '\0');
  size_t written = 0;
  size_t t = f.Transform(reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                         reinterpret_cast<uint8_t*>(out.data()), room, written);
  if (taken) *taken = t;
  return out.substr(0, written);
}

}  // namespace

TEST(TelnetFilter, NegotiationRepliesAndDataOfTheCommonRequests) {
  auto r = FilterRun(B({255, 251, 1}));  // IAC WILL echo
  EXPECT_EQ(r.Sent, B({255, 253, 1}));
  EXPECT_EQ(r.Data, "");
  ASSERT_EQ(r.Log.size(), 2u);
  EXPECT_EQ(r.Log[0], std::make_pair(int(lsRecvWill), 1u));
  EXPECT_EQ(r.Log[1], std::make_pair(int(lsSentDo), 1u));

  EXPECT_EQ(FilterRun(B({255, 253, 24})).Sent, B({255, 251, 24}));
  EXPECT_EQ(FilterRun(B({255, 253, 31})).Sent, B({255, 252, 31}));
  EXPECT_EQ(FilterRun(B({255, 250, 24, 1, 255, 240})).Sent, B({255, 250, 24, 0}) + "vt100" + B({255, 240}));
  EXPECT_EQ(FilterRun(B({255, 255})).Data, B({255}));
  EXPECT_EQ(FilterRun(B({'a', 13, 0, 'b'})).Data, B({'a', 13, 'b'}));
  EXPECT_EQ(FilterRun(B({13, 10})).Data, B({13, 10}));
  EXPECT_EQ(FilterRun(B({13, 13, 0})).Data, B({13, 13}));
  // Another command is removed and logged.
  auto cmd = FilterRun(B({'x', 255, 241, 'y'}));
  EXPECT_EQ(cmd.Data, "xy");
  ASSERT_EQ(cmd.Log.size(), 1u);
  EXPECT_EQ(cmd.Log[0], std::make_pair(int(lsTelnetCommand), 241u));
  // A subnegotiation of another option is removed without an answer, escaped 255 included.
  auto sb = FilterRun(B({'<', 255, 250, 31, 0, 80, 255, 255, 0, 24, 255, 240, '>'}));
  EXPECT_EQ(sb.Data, "<>");
  EXPECT_EQ(sb.Sent, "");
}

TEST(TelnetFilter, OptionTableForEveryVerb) {
  struct TCase {
    int State;  // of the option before, -1 for options without state
    int Verb, Option;
    std::string Reply;
    int StateAfter;
  };
  const TCase cases[] = {
      {0, 251, 0, B({255, 253, 0}), 2},  {1, 251, 0, "", 2},  {2, 251, 0, B({255, 253, 0}), 2},
      {0, 251, 1, B({255, 253, 1}), 0},  {1, 251, 1, "", 2},  {0, 251, 3, B({255, 253, 3}), 0},
      {1, 251, 3, "", 2},                {-1, 251, 5, B({255, 254, 5}), -1},
      {2, 252, 0, B({255, 254, 0}), 0},  {1, 252, 0, "", 0},  {2, 252, 1, B({255, 254, 1}), 0},
      {1, 252, 3, "", 0},                {-1, 252, 9, B({255, 254, 9}), -1},
      {-1, 253, 24, B({255, 251, 24}), -1},
      {1, 253, 3, "", 2},                {2, 253, 3, B({255, 251, 3}), 2}, {0, 253, 3, B({255, 252, 3}), 0},
      {1, 253, 0, "", 2},                {0, 253, 0, B({255, 251, 0}), 2},
      {2, 253, 1, B({255, 252, 1}), 2},  {-1, 253, 99, B({255, 252, 99}), -1},
      {2, 254, 0, B({255, 252, 0}), 0},  {1, 254, 0, "", 0},  {1, 254, 3, "", 0}, {2, 254, 3, B({255, 252, 3}), 0},
      {2, 254, 1, B({255, 252, 1}), 2},  {-1, 254, 7, B({255, 252, 7}), -1},
  };
  for (const auto& c : cases) {
    TTelnetFilter f;
    TFilterRun run;
    Attach(f, run);
    if (c.State >= 0) f.SetOptionState(static_cast<uint8_t>(c.Option), static_cast<uint8_t>(c.State));
    FeedInto(f, run, B({255, c.Verb, c.Option}));
    SCOPED_TRACE("verb " + std::to_string(c.Verb) + " option " + std::to_string(c.Option) + " state " +
                 std::to_string(c.State));
    EXPECT_EQ(run.Sent, c.Reply);
    EXPECT_EQ(run.Data, "");
    if (c.StateAfter >= 0) {
      EXPECT_EQ(f.OptionState(static_cast<uint8_t>(c.Option)), c.StateAfter);
    }
  }
}

TEST(TelnetFilter, BinaryModeKeepsCrNul) {
  TTelnetFilter f;
  TFilterRun run;
  Attach(f, run);
  FeedInto(f, run, B({255, 251, 0}));  // WILL binary: on
  ASSERT_TRUE(f.Binary());
  FeedInto(f, run, B({13, 0, 'z'}));
  EXPECT_EQ(run.Data, B({13, 0, 'z'}));
}

TEST(TelnetFilter, SequencesSplitAnywhereGiveTheSameResult) {
  const std::string stream = B({'A', 13, 0, 'B', 255, 255, 'C', 255, 251, 1, 255, 253, 24, 'D', 255, 250, 24, 1,
                                255, 240, 13, 10, 255, 241, 'E', 255, 250, 31, 255, 255, 255, 240, 255, 254, 3,
                                13, 0, 255, 252, 1, 'F', 13});
  const TFilterRun whole = FilterRun(stream);
  EXPECT_EQ(whole.Data, B({'A', 13, 'B', 255, 'C', 'D', 13, 10, 'E', 13, 'F', 13}));
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    TFilterRun split = FilterRun(stream, {cut});
    EXPECT_EQ(split.Data, whole.Data) << "cut at " << cut;
    EXPECT_EQ(split.Sent, whole.Sent) << "cut at " << cut;
    EXPECT_EQ(split.Log, whole.Log) << "cut at " << cut;
  }
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
  TFilterRun bytes = FilterRun(stream, everyByte);
  EXPECT_EQ(bytes.Data, whole.Data);
  EXPECT_EQ(bytes.Sent, whole.Sent);
}

TEST(TelnetFilter, IncompleteSequenceIsHeldUntilItsRestArrives) {
  TTelnetFilter f;
  TFilterRun run;
  Attach(f, run);
  FeedInto(f, run, B({'a', 255}));
  EXPECT_EQ(run.Data, "a");
  EXPECT_TRUE(f.InSequence());
  FeedInto(f, run, B({255, 'b', 255, 250, 24, 1, 255}));
  EXPECT_EQ(run.Data, B({'a', 255, 'b'}));
  EXPECT_EQ(run.Sent, "");
  FeedInto(f, run, B({240, 'c'}));
  EXPECT_EQ(run.Data, B({'a', 255, 'b', 'c'}));
  EXPECT_EQ(run.Sent, B({255, 250, 24, 0}) + "vt100" + B({255, 240}));
  EXPECT_FALSE(f.InSequence());
}

TEST(TelnetTransform, EscapesIacAndBareCarriageReturns) {
  EXPECT_EQ(Transform(B({255, 65})), B({255, 255, 65}));
  EXPECT_EQ(Transform("USER anonymous\r\n"), "USER anonymous\r\n");
  EXPECT_EQ(Transform("a\rb"), B({'a', 13, 0, 'b'}));
  EXPECT_EQ(Transform("end\r"), B({'e', 'n', 'd', 13, 0}));
  EXPECT_EQ(Transform("a\rb", true), "a\rb");  // binary: CR is left alone
  EXPECT_EQ(Transform(B({255}), true), B({255, 255}));

  // A pair never gets split by a full buffer.
  size_t taken = 0;
  EXPECT_EQ(Transform(B({'x', 255, 'y'}), false, 2, &taken), "x");
  EXPECT_EQ(taken, 1u);
  EXPECT_EQ(Transform(B({'x', 13, 'y'}), false, 3, &taken), B({'x', 13, 0}));
  EXPECT_EQ(taken, 2u);

  TTelnetFilter f;
  const std::string plain = "RETR file.txt";
  EXPECT_FALSE(f.NeedsTransform(reinterpret_cast<const uint8_t*>(plain.data()), plain.size()));
  const std::string line = "RETR file.txt\r\n";
  EXPECT_TRUE(f.NeedsTransform(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
  const std::string iac = B({'a', 255});
  EXPECT_TRUE(f.NeedsTransform(reinterpret_cast<const uint8_t*>(iac.data()), iac.size()));
}
