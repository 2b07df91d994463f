#!/usr/bin/env bash
# Remakes the fuzzer's seed files in wav_seeds/ with sox: the encodings the parser takes and
# some it refuses, odd rates, extensible headers, extra chunks and cut files. Small on
# purpose (a few hundred bytes to a few KB): the fuzzer mutates them.
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/wav_seeds
mkdir -p "$out"
cd "$out"
s() { local name=$1; shift; sox -R -D -n "$@" "$name" synth "${SYNTH[@]}"; }

SYNTH=(0.01 sine 1000);     s pcm16_mono_44100.wav -r 44100 -b 16 -c 1
SYNTH=(0.04 sine 300);      s pcm16_stereo_11025.wav -r 11025 -b 16 -c 2
SYNTH=(0.6 sine 100);       s pcm16_mono_1000.wav -r 1000 -b 16 -c 1
SYNTH=(0.1 square 440);     s pcm16_mono_7350.wav -r 7350 -b 16 -c 1
SYNTH=(0.005 sine 1000);    s float32_stereo_48000.wav -r 48000 -e floating-point -b 32 -c 2
SYNTH=(0.06 whitenoise);    s float32_mono_8000.wav -r 8000 -e floating-point -b 32 -c 1
SYNTH=(0.003 sine 500);     s extensible_pcm16_3ch_44100.wav -r 44100 -b 16 -c 3
SYNTH=(0.001 sine 5000);    s extensible_float32_6ch_96000.wav -r 96000 -e floating-point -b 32 -c 6
SYNTH=(0.002 sine 3000);    s extensible_float32_8ch_44100.wav -r 44100 -e floating-point -b 32 -c 8
SYNTH=(0.002 sine 3000);    s extensible_pcm16_8ch_22050.wav -r 22050 -b 16 -c 8
SYNTH=(0.01 sine 440);      s pcm24_mono_22050.wav -r 22050 -b 24 -c 1
SYNTH=(0.05 sine 440);      s ulaw_mono_8000.wav -r 8000 -e u-law -c 1
SYNTH=(0.01 sine 700);      s pcm16_stereo_32000.wav -r 32000 -b 16 -c 2

# Cut inside the samples, and inside the fmt chunk.
head -c 700 pcm16_stereo_32000.wav > cut_in_data.wav
head -c 30 pcm16_stereo_32000.wav > cut_in_fmt.wav
rm pcm16_stereo_32000.wav

# A LIST/INFO chunk and a JUNK chunk of odd size (so padded) before fmt; a LIST after the data.
python3 - <<'PY'
import struct
def chunk(tag, body):
    return tag + struct.pack('<I', len(body)) + body + (b'\0' if len(body) & 1 else b'')
info = chunk(b'LIST', b'INFO' + chunk(b'ISFT', b'sox\0') + chunk(b'ICMT', b'seed\0'))
wav = open('pcm16_mono_44100.wav', 'rb').read()
body = wav[12:]
junk = chunk(b'JUNK', b'\0' * 5)
for name, chunks in (('list_before_fmt.wav', info + junk + body), ('list_after_data.wav', body + info)):
    open(name, 'wb').write(b'RIFF' + struct.pack('<I', 4 + len(chunks)) + b'WAVE' + chunks)
PY
