#include "foundation/setup_data.h"

#include "foundation/types.h"

namespace {

int32_t ClampOr(int32_t v, int32_t ifNegative, int32_t lo, int32_t hi) {
  if (v < 0) return ifNegative;
  return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace

void VekAudioDefaults(TVEKAudioParams& a) {
  a = TVEKAudioParams{};
  a.ThreadPriority = -1;
  a.MeterMode = -1;
  a.InSampleRate = 44100;
  a.InQuality = acq_NO;
  a.InFactor = 2;
  a.InMaxTime = 0;
  a.InPreCapturedTime = -1;
  a.InCaptureAfterApproval = false;
  a.InAGC = TVEKAgcCfgParams{-1, -1, -1.0f, -1, -1, 0.0f};
  a.InHPFEnabled = false;
  a.InHPFOrder = -1;
  a.InDtmfEnabled = false;
  a.OutSampleRate = 44100;
  a.OutQuality = acq_NO;
  a.OutFactor = 2;
  a.OutAGC = TVEKAgcCfgParams{-1, -1, -1.0f, -1, -1, 0.0f};
  a.OutHPFEnabled = false;
  a.OutHPFOrder = -1;
  a.OutBufferLimitTime = -1;
  a.OutDelayConst = 1;
  a.OutDelayLatency = true;
}

void VekInformerCfgDefaults(TVEKInformerCfgParams& i) {
  i = TVEKInformerCfgParams{};
  i.Enabled = -1;
  i.Interval = -1;
  i.Dir = u"informer";
  i.Mode = -1;
  i.SilenceEnabled = -1;
  i.SilenceInterval = -1;
  i.SilenceTime = -1;
  i.ExtEnabled = -1;
  i.ExtDir = u"informer";
}

void VekInformerWorkParams(const TVEKInformerCfgParams& cfg, TVEKInformerWorkParams& work) {
  work.Enabled = cfg.Enabled == 1;
  work.Interval = ClampOr(cfg.Interval, 900, 20, 7200) * 1000;
  work.Dir = cfg.Dir;
  work.Mode = cfg.Mode == infm_Random ? infm_Random : infm_Sequence;
  work.SilenceEnabled = cfg.SilenceEnabled == 1;
  work.SilenceInterval = ClampOr(cfg.SilenceInterval, 300, 20, 7200) * 1000;
  work.SilenceTime = ClampOr(cfg.SilenceTime, 2000, 100, 5000);
  work.ExtEnabled = cfg.ExtEnabled == 1;
  work.ExtScript = DaxTrimW(cfg.ExtScript);
  work.ExtDir = DaxTrimW(cfg.ExtDir);
  work.ExtTempDir = DaxTrimW(cfg.ExtTempDir);
}
