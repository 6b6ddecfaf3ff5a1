#include "foundation/setup_data.h"

#include <gtest/gtest.h>

namespace {

// The configuration reader keeps every field the file does not set, so the
// defaults must replace a record already in use (a reload) in every section,
// not only fill a fresh one.
TEST(SetupDefaults, LeaveNothingOfARecordInUse) {
  TVEKSetupData fresh;
  VekSetupDefaults(fresh, u"/start", u"/prog", u"/conf");

  TVEKSetupData used = fresh;
  used.Account.Callsign = u"old";
  used.Account.ClientType = clt_CROSSLINK;
  used.Audio.InDevice = u"old";
  used.Radio.PTT = u"old";
  used.Internet.ProxyUser = u"old";
  used.Manager.Latency = 7;
  used.Server.Network = u"old";
  used.Server.MainServerUseProxy = 2;
  used.Message.PrivateAutoResponse = u"old";
  used.System.LogFile = u"old";
  used.Sounds.FileNames[csnd_Error] = u"old";
  used.Sounds.Enabled[csnd_Connect] = true;
  used.Hours.ExtScript = u"old";
  used.Informer.ExtDir = u"old";
  used.Recorder.Script = u"old";
  VekSetupDefaults(used, u"/start2", u"/prog2", u"/conf2");

  EXPECT_EQ(used.Account.Callsign, fresh.Account.Callsign);
  EXPECT_EQ(used.Account.ClientType, fresh.Account.ClientType);
  EXPECT_EQ(used.Audio.InDevice, fresh.Audio.InDevice);
  EXPECT_EQ(used.Radio.PTT, fresh.Radio.PTT);
  EXPECT_EQ(used.Internet.ProxyUser, fresh.Internet.ProxyUser);
  EXPECT_EQ(used.Manager.Latency, fresh.Manager.Latency);
  EXPECT_EQ(used.Server.Network, fresh.Server.Network);
  EXPECT_EQ(used.Server.MainServerUseProxy, fresh.Server.MainServerUseProxy);
  EXPECT_EQ(used.Message.PrivateAutoResponse, fresh.Message.PrivateAutoResponse);
  EXPECT_EQ(used.System.LogFile, fresh.System.LogFile);
  EXPECT_EQ(used.Sounds.FileNames[csnd_Error], fresh.Sounds.FileNames[csnd_Error]);
  EXPECT_EQ(used.Sounds.Enabled[csnd_Connect], fresh.Sounds.Enabled[csnd_Connect]);
  EXPECT_EQ(used.Hours.ExtScript, fresh.Hours.ExtScript);
  EXPECT_EQ(used.Informer.ExtDir, fresh.Informer.ExtDir);
  EXPECT_EQ(used.Recorder.Script, fresh.Recorder.Script);
  EXPECT_EQ(used.System.StartDir, u"/start2");
  EXPECT_EQ(used.System.ProgramDir, u"/prog2");
  EXPECT_EQ(used.System.ConfigDir, u"/conf2");
}

}  // namespace
