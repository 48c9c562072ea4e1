// SPDX-License-Identifier: GPL-3.0-or-later
// Synthesises Wirequill's interface sounds as 16-bit mono 44.1 kHz WAV files:
//   make_sounds <output-dir>
// The noise generator has a fixed seed so the output is identical on every run.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr double kTwoPi = 2 * std::numbers::pi;

using Samples = std::vector<double>;  // -1..1

Samples silence(double seconds) {
  return Samples(static_cast<size_t>(seconds * kRate), 0.0);
}

// Short raised-cosine ramps at both ends so playback never starts or stops with a step.
void fadeEnds(Samples& s, double inSeconds, double outSeconds) {
  const size_t in = std::min(s.size(), static_cast<size_t>(inSeconds * kRate));
  const size_t out = std::min(s.size(), static_cast<size_t>(outSeconds * kRate));
  for (size_t i = 0; i < in; ++i) {
    s[i] *= 0.5 - 0.5 * std::cos(std::numbers::pi * i / in);
  }
  for (size_t i = 0; i < out; ++i) {
    s[s.size() - 1 - i] *= 0.5 - 0.5 * std::cos(std::numbers::pi * i / out);
  }
}

// A click is a decaying tone plus a puff of one-pole low-passed noise; a lower tone,
// a darker noise and a slower decay make it softer.
Samples click(double seconds, double toneHz, double decaySeconds, double noiseCutoff,
              double noiseMix, double gain) {
  Samples s = silence(seconds);
  std::minstd_rand rng(20240613);
  std::uniform_real_distribution<double> white(-1.0, 1.0);
  const double alpha = 1.0 - std::exp(-kTwoPi * noiseCutoff / kRate);
  double noise = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    noise += alpha * (white(rng) - noise);
    const double env = std::exp(-t / decaySeconds);
    s[i] = gain * env * ((1 - noiseMix) * std::sin(kTwoPi * toneHz * t) + noiseMix * noise * 2);
  }
  fadeEnds(s, 0.0008, 0.004);
  return s;
}

// One struck note with a faint octave for a bell-like colour, added into s at startSeconds.
void addNote(Samples& s, double startSeconds, double hz, double decaySeconds, double gain) {
  const size_t start = static_cast<size_t>(startSeconds * kRate);
  const size_t attack = static_cast<size_t>(0.004 * kRate);
  for (size_t i = start; i < s.size(); ++i) {
    const size_t n = i - start;
    const double t = static_cast<double>(n) / kRate;
    const double rise = n < attack ? static_cast<double>(n) / attack : 1.0;
    const double env = rise * std::exp(-t / decaySeconds);
    s[i] += gain * env * (std::sin(kTwoPi * hz * t) + 0.18 * std::sin(kTwoPi * 2 * hz * t));
  }
}

Samples chime() {
  Samples s = silence(0.25);
  addNote(s, 0.000, 987.77, 0.07, 0.38);   // B5
  addNote(s, 0.085, 1318.51, 0.08, 0.34);  // E6, a fourth above
  fadeEnds(s, 0.001, 0.03);
  return s;
}

void putLE(std::ofstream& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.put(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

bool writeWav(const std::string& path, const Samples& s) {
  std::ofstream out(path, std::ios::binary);
  const uint32_t dataBytes = static_cast<uint32_t>(s.size() * 2);
  out.write("RIFF", 4);
  putLE(out, 36 + dataBytes, 4);
  out.write("WAVEfmt ", 8);
  putLE(out, 16, 4);         // fmt chunk size
  putLE(out, 1, 2);          // PCM
  putLE(out, 1, 2);          // mono
  putLE(out, kRate, 4);      // sample rate
  putLE(out, kRate * 2, 4);  // byte rate
  putLE(out, 2, 2);          // block align
  putLE(out, 16, 2);         // bits per sample
  out.write("data", 4);
  putLE(out, dataBytes, 4);
  for (double v : s) {
    const auto sample = static_cast<int16_t>(std::lround(std::clamp(v, -1.0, 1.0) * 32767));
    putLE(out, static_cast<uint16_t>(sample), 2);
  }
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  std::printf("wrote %s\n", path.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output-dir>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  // Pop-up menus: low and muffled. Search fields: brighter and shorter.
  bool ok = writeWav(dir + "/click05.wav", click(0.025, 1100, 0.0045, 2500, 0.45, 0.45));
  ok &= writeWav(dir + "/click01.wav", click(0.020, 3200, 0.0025, 9000, 0.55, 0.5));
  ok &= writeWav(dir + "/display02.wav", chime());
  return ok ? 0 : 1;
}
