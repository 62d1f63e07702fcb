// The Firebird driver's byte work that needs no server: parameter buffers, connect strings,
// status vectors, information replies, scaled numbers and dates.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/message_of.h"
#include "db/firebird/fb_connection.h"
#include "db/firebird/fb_errors.h"
#include "db/firebird/fb_owners.h"
#include "db/firebird/fb_params.h"
#include "db/firebird/fb_values.h"
#include "support/date_time.h"

namespace qm {
namespace {

using qm::testing::MessageOf;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string result;
  for (int b : bytes)
    result += static_cast<char>(b);
  return result;
}

TEST(FBParameterBuffers, DefaultsFillUserPasswordAndCharacterSetInListOrder) {
  const TStrings params = SetConnectionDefaults(true, "", "", "", "", {"lc_ctype=UTF8"});
  EXPECT_EQ(params, (TStrings{"lc_ctype=UTF8", "user_name=sysdba", "password=brightowl"}));
  EXPECT_EQ(BuildDPB(params),
            Bytes({1, 48, 4}) + "UTF8" + Bytes({28, 6}) + "sysdba" + Bytes({29, 9}) + "brightowl");

  // Given values win over lines of the list; the role and character set only fill gaps.
  const TStrings given = SetConnectionDefaults(true, "ann", "pw", "admin", "WIN1252",
                                               {"user_name=bob", "lc_ctype=UTF8"});
  EXPECT_EQ(given,
            (TStrings{"user_name=ann", "lc_ctype=UTF8", "password=pw", "sql_role_name=admin"}));

  // Without the default credentials nothing stands in for a missing user or password.
  EXPECT_EQ(SetConnectionDefaults(false, "", "", "", "", {"lc_ctype=UTF8"}),
            (TStrings{"lc_ctype=UTF8"}));
}

TEST(FBParameterBuffers, DPBItemsHaveTheirExactBytes) {
  struct Case {
    std::string line;
    std::string bytes;  // after the version byte
  } cases[] = {
      {"isc_dpb_num_buffers=75", Bytes({5, 1, 75})},
      {"sweep_interval=100000", Bytes({22, 4, 0xA0, 0x86, 0x01, 0x00})},
      {"sweep=anything", Bytes({10, 1, 2})},
      {"activate_shadow=", Bytes({21, 1, 0})},
      {"sql_dialect=3", Bytes({63, 1, 3})},
      {"SQL_ROLE_NAME=r1", Bytes({60, 2}) + "r1"},
      {"=ignored", ""},
      {"  =ignored too", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BuildDPB({c.line}), Bytes({1}) + c.bytes) << c.line;
}

TEST(FBParameterBuffers, BadParametersAreRefusedWithTheirMessages) {
  struct Case {
    std::function<void()> build;
    std::string message;
  } cases[] = {
      {[] { BuildDPB({"foo=1"}); }, "DPB Constant (foo) is unknown"},
      {[] { BuildDPB({"page_size=8192"}); }, "DPB Constant (isc_dpb_page_size) is unsupported"},
      {[] { BuildDPB({"password=" + std::string(256, 'x')}); },
       "Parameter value of password is longer than 255 bytes"},
      {[] { BuildTPB({"verb_time"}); }, "TPB Constant (isc_tpb_verb_time) is unsupported"},
      // An unknown line is named by its part before "=", which a line without one lacks.
      {[] { BuildTPB({"bogus"}); }, "TPB Constant () is unknown"},
      {[] { BuildTPB({"bogus=1"}); }, "TPB Constant (bogus) is unknown"},
      {[] { BuildTPB({"lock_read=" + std::string(300, 't')}); },
       "Parameter value of lock_read is longer than 255 bytes"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MessageOf(c.build), c.message);
  // The longest value that fits its length byte is written whole.
  EXPECT_EQ(BuildDPB({"password=" + std::string(255, 'x')}).size(), 1u + 2u + 255u);
  EXPECT_THROW(BuildDPB({"num_buffers=many"}), EConvertError);
}

TEST(FBParameterBuffers, TPBItemsHaveTheirExactBytes) {
  EXPECT_EQ(BuildTPB({}), "");
  EXPECT_EQ(BuildTPB({"read_committed", " rec_version ", "isc_tpb_nowait", ""}),
            Bytes({3, 15, 17, 7}));
  EXPECT_EQ(BuildTPB({"lock_read=T1"}), Bytes({3, 10, 2}) + "T1");
}

TEST(FBConnectStrings, HostPortAndResourceCombine) {
  struct Case {
    std::string host, port, resource, expected;
  } cases[] = {
      {"db1", "3050", "employee", "db1/3050:employee"},
      {"db1/3051", "3050", "employee", "db1/3051:employee"},
      {"127.0.0.1", "", "/data/shop.fdb", "127.0.0.1:/data/shop.fdb"},
      {"", "3050", "employee", "employee"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FBConnectString(c.resource, c.host, c.port), c.expected);
  EXPECT_EQ(FBQuoted("it's"), "'it''s'");
}

TEST(FBStatusVectors, WalkFindsCodesNumbersAndTexts) {
  const char* name = "E_NAME";
  const char* text = "custom message";
  const ISC_STATUS status[] = {isc_arg_gds,
                               335544517,
                               isc_arg_number,
                               7,
                               isc_arg_cstring,
                               3,
                               reinterpret_cast<ISC_STATUS>("abc"),
                               isc_arg_string,
                               reinterpret_cast<ISC_STATUS>(name),
                               isc_arg_gds,
                               335544382,
                               isc_arg_string,
                               reinterpret_cast<ISC_STATUS>(text),
                               isc_arg_end,
                               0,
                               0,
                               0,
                               0,
                               0,
                               0};
  EXPECT_TRUE(StatusHasCode(status, {1, 335544382}));
  EXPECT_TRUE(StatusHasCode(status, {7}));
  EXPECT_FALSE(StatusHasCode(status, {3}));  // a counted text's length is no number item
  EXPECT_EQ(StatusNumberArg(status, 0), 7);
  EXPECT_EQ(StatusNumberArg(status, 1), 0);
  EXPECT_EQ(StatusStringArg(status, 0), "E_NAME");
  EXPECT_EQ(StatusStringArg(status, 1), "custom message");
  EXPECT_EQ(StatusStringArg(status, 2), "");
  EXPECT_EQ(StatusErrorCode(status), 335544517);
}

TEST(FBStatusVectors, RaisedExceptionFollowsTheSQLCode) {
  TmncFBLib& lib = FBLib();
  lib.Load(false);
  const char* name = "E_BAD";
  const char* text = "went wrong";
  // isc_except with number, name and message: SQL code -836.
  const ISC_STATUS exception_vector[ISC_STATUS_LENGTH] = {
      isc_arg_gds,    isc_except,
      isc_arg_number, 4,
      isc_arg_gds,    isc_random,
      isc_arg_string, reinterpret_cast<ISC_STATUS>(name),
      isc_arg_string, reinterpret_cast<ISC_STATUS>(text),
      isc_arg_end};
  try {
    RaiseFBError(lib, exception_vector);
    FAIL() << "no exception";
  } catch (const EFBExceptionError& e) {
    EXPECT_EQ(e.SQLCode(), -836);
    EXPECT_EQ(e.ErrorCode(), isc_except);
    EXPECT_EQ(e.ExceptionID(), 4);
    EXPECT_EQ(e.ExceptionName(), "E_BAD");
    EXPECT_EQ(e.ExceptionMsg(), "went wrong");
    const std::string message = e.Message();
    EXPECT_NE(message.find("\r\n"), std::string::npos);
    EXPECT_TRUE(message.ends_with("sqlcode: -836, fberrorcode: 335544517")) << message;
  }
  // No permission: SQL code -551.
  const ISC_STATUS role_vector[ISC_STATUS_LENGTH] = {
      isc_arg_gds,    isc_no_priv,
      isc_arg_string, reinterpret_cast<ISC_STATUS>("SELECT"),
      isc_arg_string, reinterpret_cast<ISC_STATUS>("TABLE"),
      isc_arg_string, reinterpret_cast<ISC_STATUS>("T1"),
      isc_arg_end};
  EXPECT_THROW(RaiseFBError(lib, role_vector), EFBRoleError);
  EXPECT_EQ(CheckFBStatus(lib, 0, role_vector), 0);
  EXPECT_EQ(CheckFBStatus(lib, isc_no_priv, role_vector, false), isc_no_priv);
}

TEST(FBInformationReplies, ItemsAndRecordCountsAreFound) {
  // Dialect item (62, length 1, value 3), then the end.
  const TFBBuffer dialect = Bytes({62, 1, 0, 3, 1});
  std::int32_t value = -1;
  EXPECT_TRUE(GetInfoValue(dialect, 62, value));
  EXPECT_EQ(value, 3);
  EXPECT_FALSE(GetInfoValue(dialect, 63, value));
  EXPECT_EQ(value, 0);
  EXPECT_EQ(FindInfoItem(Bytes({21, 4, 0, 2, 0, 0, 0, 1}), 21), 1);

  // Record counts: 23, total length, then sub-items of select (13) and insert (14) counts.
  const TFBBuffer records = Bytes({23, 14, 0, 13, 4, 0, 0, 0, 0, 0, 14, 4, 0, 0x2C, 0x01, 0, 0, 1});
  EXPECT_EQ(GetRecordsInfo(records, 14), 300);
  EXPECT_EQ(GetRecordsInfo(records, 13), 0);
  EXPECT_EQ(GetRecordsInfo(records, 15), -1);
  EXPECT_EQ(GetRecordsInfo(Bytes({21, 1, 0, 1}), 14), -1);
  // A reply cut short is not read past its end.
  EXPECT_EQ(GetRecordsInfo(Bytes({23, 14, 0, 14, 4, 0}), 14), -1);
}

TEST(FBValues, ScaledIntegersKeepEveryDigit) {
  struct Case {
    bool negative;
    std::string digits;
    int scale;
    std::string text;
  } cases[] = {
      {false, "12345", -2, "123.45"},
      {true, "5", -3, "-0.005"},
      {false, "12300", -2, "123"},
      {false, "170141183460469231731687303715884105727", -4,
       "17014118346046923173168730371588410.5727"},
      {false, "7", 2, "700"},
      {true, "0", -2, "0"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FBScaledText(c.negative, c.digits, c.scale), c.text);
}

TEST(FBValues, DatesAndTimesRoundTripWithMilliseconds) {
  // The library's day 0 is 1858-11-17.
  EXPECT_EQ(FBEncodeDate(EncodeDate(1858, 11, 17)), 0);
  EXPECT_EQ(FBEncodeDate(EncodeDate(2024, 2, 29)), 60369);
  const TDateTime stamp = EncodeDate(2024, 2, 29) + EncodeTime(13, 45, 30, 250);
  EXPECT_EQ(FBEncodeTime(stamp), ((13 * 60 + 45) * 60 + 30) * 10000 + 2500);
  const TDateTime back = FBDecodeDate(FBEncodeDate(stamp)) + FBDecodeTime(FBEncodeTime(stamp));
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", back), "2024-02-29 13:45:30.250");
}

}  // namespace
}  // namespace qm

namespace qm {
namespace {

// A fetched descriptor of `type` over `data` (not nullable).
XSQLVAR Described(short type, short scale, void* data, short length) {
  XSQLVAR var{};
  var.sqltype = type;
  var.sqlscale = scale;
  var.sqllen = length;
  var.sqldata = static_cast<char*>(data);
  return var;
}

TEST(FBValues, Int128ReadsAllSixteenBytes) {
  const __int128 big = static_cast<__int128>(1) << 100;  // far beyond 64 bits
  __int128 stored = -big;
  XSQLVAR var = Described(kSQLInt128, 0, &stored, 16);
  EXPECT_EQ(FBReadValue({}, var).ToString(), "-1267650600228229401496703205376");
  var.sqlscale = -2;
  EXPECT_EQ(FBReadValue({}, var).ToString(), "-12676506002282294014967032053.76");
  stored = 12345;  // small values keep the exact currency
  EXPECT_EQ(FBReadValue({}, var).Kind(), VariantKind::kCurrency);
  EXPECT_EQ(FBReadValue({}, var).ToString(), "123.45");
}

TEST(FBValues, Int128ColumnsAreTextWhateverTheirScale) {
  __int128 stored = 1;
  for (short scale : {0, -2}) {
    EXPECT_EQ(FBDataType(Described(kSQLInt128, scale, &stored, 16)), dtUnknown) << scale;
    EXPECT_EQ(FBDataType(Described(kSQLInt128 | 1, scale, &stored, 16)), dtUnknown) << scale;
  }
  std::int64_t big = 1;
  EXPECT_EQ(FBDataType(Described(SQL_INT64, 0, &big, 8)), dtInteger);
  EXPECT_EQ(FBDataType(Described(SQL_INT64, -2, &big, 8)), dtCurrency);
}

TEST(FBValues, TimeFractionsAreCutNeverCarriedIntoTheNextDay) {
  // The library counts 1/10000 s: 23:59:59.9999 is the last unit of a day.
  const ISC_TIME last = 86400 * 10000 - 1;
  EXPECT_EQ(FBDateTimeText(dtTime, FBDecodeTime(last)), "23:59:59.999");
  EXPECT_EQ(FBDateTimeText(dtDateTime, FBDecodeDate(60369) + FBDecodeTime(last)),
            "2024-02-29 23:59:59.999");
  EXPECT_EQ(FBDateTimeText(dtTime, FBDecodeTime(0)), "00:00:00");
  EXPECT_EQ(FBDateTimeText(dtDateTime, FBDecodeDate(60369)), "2024-02-29 00:00:00");
  EXPECT_EQ(FBDateTimeText(dtDate, FBDecodeDate(60369)), "2024-02-29");
}

TEST(FBValues, DateTimeTextOverTheWholeRangeOfTheEngine) {
  // Dates count days from 1858-11-17, times 1/10000 s; the engine's dates run from year 1 to
  // 9999. Days before 1899-12-30 are negative date-time numbers, whose time part counts forward.
  struct Case {
    ISC_DATE date;
    ISC_TIME time;
    TmnDataType type;
    const char* text;
  };
  const Case cases[] = {
      {-678575, 0, dtDate, "0001-01-01"},
      {-678575, 0, dtDateTime, "0001-01-01 00:00:00"},
      {2973483, 86400 * 10000 - 1, dtDateTime, "9999-12-31 23:59:59.999"},
      {0, 45000 * 10000 + 50, dtDateTime, "1858-11-17 12:30:00.005"},
      {15018, 10 * 10000 + 500, dtDateTime, "1899-12-30 00:00:10.050"},
      {15017, 86399 * 10000, dtDateTime, "1899-12-29 23:59:59"},
      {60369, 3723 * 10000 + 1230, dtTime, "01:02:03.123"},
      {60369, 5 * 10000, dtTime, "00:00:05"},
      {60369, 0, dtDate, "2024-02-29"},
  };
  for (const Case& c : cases) {
    const TDateTime value =
        c.type == dtTime ? FBDecodeTime(c.time)
                         : FBDecodeDate(c.date) + (FBDecodeDate(c.date) < 0 ? -FBDecodeTime(c.time)
                                                                            : FBDecodeTime(c.time));
    EXPECT_EQ(FBDateTimeText(c.type, value), c.text) << c.date << " " << c.time;
  }
}

TEST(FBValues, NullIndicatorWinsOverTheStoredValue) {
  std::int32_t stored = 7;
  short indicator = -1;
  XSQLVAR var = Described(SQL_LONG | 1, 0, &stored, 4);
  var.sqlind = &indicator;
  EXPECT_TRUE(FBReadValue({}, var).IsNull());
  indicator = 0;
  EXPECT_EQ(FBReadValue({}, var).ToInt32(), 7);
}

}  // namespace
}  // namespace qm

namespace qm {
namespace {

// Counts the library's freeing calls and clears the handle as the library does.
int g_detached = 0;
int g_rolled_back = 0;
int g_dropped = 0;

TmncFBLib& CountingLib() {
  static TmncFBLib lib("libfbclient-not-loaded.so");
  lib.isc_detach_database = [](ISC_STATUS*, isc_db_handle* handle) -> ISC_STATUS {
    ++g_detached;
    *handle = 0;
    return 0;
  };
  lib.isc_rollback_transaction = [](ISC_STATUS*, isc_tr_handle* handle) -> ISC_STATUS {
    ++g_rolled_back;
    *handle = 0;
    return 0;
  };
  lib.isc_dsql_free_statement = [](ISC_STATUS*, isc_stmt_handle* handle,
                                   unsigned short) -> ISC_STATUS {
    ++g_dropped;
    *handle = 0;
    return 0;
  };
  return lib;
}

TEST(FBOwners, EachHandleIsFreedOnceWhereItsOwnerEnds) {
  TmncFBLib& lib = CountingLib();
  g_detached = g_rolled_back = g_dropped = 0;
  {
    TFBAttachment attachment(lib);
    TFBTransactionHandle transaction(lib);
    TFBStatementHandle statement(lib);
    *attachment.Address() = 7;
    *transaction.Address() = 8;
    *statement.Address() = 9;
    statement.Reset();  // dropped now, not again at the end
  }
  EXPECT_EQ(g_detached, 1);
  EXPECT_EQ(g_rolled_back, 1);
  EXPECT_EQ(g_dropped, 1);
}

TEST(FBOwners, ForgottenOrLibraryClearedHandlesAreNotFreed) {
  TmncFBLib& lib = CountingLib();
  g_detached = g_rolled_back = g_dropped = 0;
  {
    TFBAttachment lost(lib);
    *lost.Address() = 7;
    EXPECT_EQ(lost.Forget(), 7);  // went with the server
    TFBTransactionHandle committed(lib);
    *committed.Address() = 8;
    *committed.Address() = 0;  // the library cleared it on commit
    TFBStatementHandle never(lib);
  }
  EXPECT_EQ(g_detached, 0);
  EXPECT_EQ(g_rolled_back, 0);
  EXPECT_EQ(g_dropped, 0);
}

TEST(FBOwners, AnErrorLeavesNoHandleBehind) {
  TmncFBLib& lib = CountingLib();
  g_rolled_back = 0;
  try {
    TFBTransactionHandle transaction(lib);
    *transaction.Address() = 8;
    throw std::runtime_error("statement failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(g_rolled_back, 1);
}

}  // namespace
}  // namespace qm
