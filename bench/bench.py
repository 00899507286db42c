#!/usr/bin/env python3
"""Times quorle-video-compress against the ffmpeg command line doing the same job.

For each case: makes (or reuses) a deterministic source with the ffmpeg tool, works out
the plan our tool makes for it, runs our binary and the ffmpeg command line in turn
under GNU time, scores every output against lossless references with SSIM and PSNR,
and writes a Markdown table, a JSON record of every run and a chart of quality against
wall time. See bench/README.md.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import hashlib
import json
import math
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import time
from fractions import Fraction
from pathlib import Path

from common import fail, log, run

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
SETTINGS_HEADER = ROOT / "src/media/ffmpeg/writing/settings.h"
PROFILE_TABLE = ROOT / "src/cli/command_line.cpp"
RATES_HEADER = ROOT / "src/planning/rates.h"
RENDER_HEADER = ROOT / "src/media/ffmpeg/reading/render.h"
RENDER_SOURCE = ROOT / "src/media/ffmpeg/reading/render.cpp"
GNU_TIME = "/usr/bin/time"
FONT_DIR = Path("/usr/share/fonts/truetype/dejavu")
SANS = FONT_DIR / "DejaVuSans.ttf"
MONO = FONT_DIR / "DejaVuSansMono.ttf"

# Our tool's frame timescale: an output frame lasts a whole number of these ticks.
FRAME_TIMESCALE = 60000


def relative(path: Path) -> str:
    """A path as shown in the results: relative to the checkout where it lies inside it."""
    try:
        return str(path.resolve().relative_to(ROOT))
    except ValueError:
        return path.name


# --- What the code says -------------------------------------------------------------


@dataclasses.dataclass
class Profile:
    max_long_edge: float
    fps: float
    reference_bitrate: float
    audio_bitrate: int
    key_frame_seconds: float


@dataclasses.dataclass
class EncoderSettings:
    preset: str
    params: str
    max_b_frames: int


def read_encoder_settings() -> EncoderSettings:
    text = SETTINGS_HEADER.read_text()

    def constant(name: str) -> str | None:
        # One string literal, or several adjacent ones as C++ joins them.
        m = re.search(rf"\b{name}\s*=\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+);", text)
        if not m:
            return None
        return "".join(re.findall(r"\"((?:[^\"\\]|\\.)*)\"", m.group(1)))

    preset = constant("kX264Preset")
    params = constant("kX264Params")
    if params is None:
        # The older form of the header kept only the rate tolerance.
        tolerance = constant("kX264RateTolerance")
        params = f"ratetol={tolerance}" if tolerance is not None else None
    frames = re.search(r"\bkMaxBFrames\s*=\s*(\d+)\s*;", text)
    if preset is None or params is None or frames is None:
        fail(f"cannot find kX264Preset, kX264Params and kMaxBFrames in {relative(SETTINGS_HEADER)}")
    return EncoderSettings(preset, params, int(frames.group(1)))


def read_profiles() -> dict[str, Profile]:
    text = PROFILE_TABLE.read_text()
    number = r"\s*([0-9.eE+-]+)\s*"
    rows = re.findall(r"\{\s*\"([a-z-]+)\"\s*,\s*\{" + ",".join([number] * 5) + r"\}\s*\}", text)
    if not rows:
        fail(f"cannot find the profile table in {relative(PROFILE_TABLE)}")
    return {
        name: Profile(float(edge), float(fps), float(rate), int(float(audio)), float(key))
        for name, edge, fps, rate, audio, key in rows
    }


def read_min_audio_bitrate() -> int:
    m = re.search(r"\bkMinAudioBitrate\s*=\s*(\d+)\s*;", RATES_HEADER.read_text())
    if not m:
        fail(f"cannot find kMinAudioBitrate in {relative(RATES_HEADER)}")
    return int(m.group(1))


@dataclasses.dataclass
class ToneCurve:
    reference_white: float  # cd/m² that land on SDR white
    peak: float             # cd/m², HLG's nominal display peak
    headroom: float         # how far past the peak the roll-off ends, as a factor
    knee: float             # Möbius: below this share of reference white nothing changes


def read_tone_curve() -> ToneCurve:
    header = RENDER_HEADER.read_text()

    def constant(name: str) -> float | None:
        m = re.search(rf"\b{name}\s*=\s*([0-9.]+)\s*;", header)
        return float(m.group(1)) if m else None

    white, peak, headroom = (constant(n) for n in ("kReferenceWhite", "kDefaultPeak", "kHighlightHeadroom"))
    knee = re.search(r"tonemap=tonemap=mobius:param=([0-9.]+)", RENDER_SOURCE.read_text())
    if white is None or peak is None or headroom is None or knee is None:
        fail(f"cannot find the tone curve in {relative(RENDER_HEADER)} and {relative(RENDER_SOURCE)}")
    return ToneCurve(white, peak, headroom, float(knee.group(1)))


def hlg_to_sdr(curve: ToneCurve) -> str:
    """The chain our renderer draws an HLG BT.2020 picture with, after scaling: into
    linear light with reference white at 1, the Möbius roll-off, back into BT.709 SDR
    in 8 bits, dithered."""
    white = f"{curve.reference_white:g}"
    peak = curve.peak / curve.reference_white * curve.headroom
    return (f"zscale=rangein=limited:matrixin=2020_ncl:primariesin=2020:primaries=709"
            f":transferin=arib-std-b67:transfer=linear:npl={white},format=gbrpf32le,"
            f"tonemap=tonemap=mobius:param={curve.knee:g}:desat=0:peak={peak:.4f},"
            f"zscale=transferin=linear:primariesin=709:npl={white}:transfer=709:matrix=709:range=limited"
            f":dither=ordered")


# --- Probing -------------------------------------------------------------------------


def probe(path: Path) -> dict:
    done = run(["ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", str(path)])
    return json.loads(done.stdout)


def streams(info: dict, kind: str) -> list[dict]:
    return [s for s in info["streams"] if s.get("codec_type") == kind]


def rational(text: str | None) -> Fraction:
    if not text or "/" not in text:
        return Fraction(0)
    num, den = text.split("/")
    return Fraction(int(num), int(den)) if int(den) != 0 else Fraction(0)


def data_rate(path: Path, stream: dict, info: dict) -> float:
    """A stream's bits per second as our tool measures them: the container's figure,
    or the bytes of its packets over its length."""
    rate = float(stream.get("bit_rate") or 0)
    if rate > 0:
        return rate
    done = run(["ffprobe", "-v", "error", "-select_streams", str(stream["index"]),
                "-show_entries", "packet=size", "-of", "csv=p=0", str(path)])
    size = sum(int(line) for line in done.stdout.split() if line.strip().isdigit())
    seconds = float(stream.get("duration") or info["format"].get("duration") or 0)
    return size * 8 / seconds if seconds > 0 else 0.0


def key_frame_gap(path: Path) -> int:
    """The most frames from one key frame to the next (or to the end)."""
    done = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=flags",
                "-of", "csv=p=0", str(path)])
    flags = done.stdout.split()
    keys = [i for i, f in enumerate(flags) if "K" in f]
    if not keys:
        return len(flags)
    edges = keys + [len(flags)]
    return max(b - a for a, b in zip(edges, edges[1:]))


def describe_output(path: Path) -> dict:
    info = probe(path)
    video = streams(info, "video")
    audio = streams(info, "audio")
    out: dict = {"bytes": path.stat().st_size}
    if video:
        v = video[0]
        out.update({
            "width": v.get("width"), "height": v.get("height"),
            "frame_rate": v.get("avg_frame_rate"), "frames": int(v.get("nb_frames") or 0),
            "profile": v.get("profile"), "pix_fmt": v.get("pix_fmt"),
            "colour": "/".join(str(v.get(k)) for k in ("color_primaries", "color_transfer", "color_space")),
            "range": v.get("color_range"),
            "video_bitrate": float(v.get("bit_rate") or 0),
            "key_frame_gap": key_frame_gap(path),
        })
    out["audio_tracks"] = len(audio)
    if audio:
        a = audio[0]
        out.update({"audio_codec": a.get("codec_name"), "channels": a.get("channels"),
                    "sample_rate": int(a.get("sample_rate") or 0), "audio_bitrate": float(a.get("bit_rate") or 0)})
    return out


# --- The plan our tool makes ---------------------------------------------------------


@dataclasses.dataclass
class Plan:
    width: int
    height: int
    frame_ticks: int          # one output frame, in 1/60000 s
    video_bitrate: int
    key_frame_interval: int
    audio_bitrate: int | None  # None: the source has no sound
    source_fps: float
    same_rate_as_source: bool  # every source frame is kept: both frame-picking rules agree
    tone_map: str = ""         # HDR sources: the chain into BT.709 SDR after scaling
    turn: str = ""             # HDR sources: the filters that turn the stored picture upright
    turn_swaps: bool = False   # and whether they swap its width and height

    @property
    def rate(self) -> Fraction:
        return Fraction(FRAME_TIMESCALE, self.frame_ticks)

    @property
    def rate_text(self) -> str:
        r = self.rate
        return str(r.numerator) if r.denominator == 1 else f"{r.numerator}/{r.denominator}"


def float32(x: float) -> float:
    """x as our tool holds it in a float."""
    return struct.unpack("f", struct.pack("f", x))[0]


def key_frame_interval(seconds: float, fps: float) -> int:
    frames = math.floor(seconds * fps)
    if not frames >= 1:
        return 1
    n = min(int(frames), 1000000)
    spacing = round(FRAME_TIMESCALE / fps) / FRAME_TIMESCALE
    while n > 1 and n * spacing > seconds:
        n -= 1
    return n


def upright_turn(video: dict) -> tuple[str, bool]:
    """The filters that turn a stored picture upright as its display matrix asks (ffmpeg
    inserts the same ones when it turns a picture by itself), and whether they swap
    width and height."""
    rotation = next((sd["rotation"] for sd in video.get("side_data_list", []) if "rotation" in sd), 0)
    turns = {0: ("", False), 90: ("transpose=cclock", True), 180: ("hflip,vflip", False),
             270: ("transpose=clock", True)}
    quarter = round(float(rotation)) % 360
    if quarter not in turns:
        fail(f"a display matrix turning the picture by {rotation} degrees is not among the cases")
    return turns[quarter]


def make_plan(source: Path, profile: Profile, min_audio: int, our_output: dict) -> Plan:
    info = probe(source)
    video = streams(info, "video")[0]
    tone_map = ""
    if video.get("color_transfer") == "arib-std-b67":
        tone_map = hlg_to_sdr(read_tone_curve())
    elif video.get("color_transfer") == "smpte2084":
        fail(f"{source.name}: PQ sources are not among the cases (the curve would need their light level)")
    rate = rational(video.get("avg_frame_rate")) or rational(video.get("r_frame_rate"))
    source_fps = float32(round(float(rate) * 1000) / 1000) if rate else 0.0
    out_fps = source_fps if profile.fps > source_fps > 0 else profile.fps
    ticks = round(FRAME_TIMESCALE / out_fps)

    source_video_rate = float32(data_rate(source, video, info))
    bitrate = int(source_video_rate if profile.reference_bitrate > source_video_rate > 0 else profile.reference_bitrate)

    audio_bitrate = None
    tracks = streams(info, "audio")
    if tracks:
        total = sum(float32(data_rate(source, a, info)) for a in tracks)
        audio_bitrate = max(min(profile.audio_bitrate, int(total)), min_audio) if total > 0 else profile.audio_bitrate

    same = bool(rate) and abs(ticks / FRAME_TIMESCALE - 1 / float(rate)) < 1e-9
    turn, swaps = upright_turn(video) if tone_map else ("", False)
    return Plan(width=our_output["width"], height=our_output["height"], frame_ticks=ticks, video_bitrate=bitrate,
                key_frame_interval=key_frame_interval(profile.key_frame_seconds, out_fps),
                audio_bitrate=audio_bitrate, source_fps=source_fps, same_rate_as_source=same, tone_map=tone_map,
                turn=turn, turn_swaps=swaps)


# --- Sources -------------------------------------------------------------------------
#
# Each source is a few ffmpeg runs in a scratch folder with relative file names, so the
# runs themselves (with the ffmpeg version) name the result: a changed recipe makes a
# new file and an unchanged one is reused.

BT709_TAGS = ["-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", "-color_range", "tv"]
SOURCE_X264 = ["-c:v", "libx264", "-preset", "faster", "-crf", "16", "-profile:v", "high", "-pix_fmt", "yuv420p"]
TO_BT709 = "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p"


def texture_run(width: int, height: int, x: float, y: float, scale: float, label: str | None) -> list[str]:
    """One still picture with detail at every scale: a stretch of the Mandelbrot set's
    edge for colour and structure, two octaves of smoothed noise in its brightness,
    and a fine fixed grain. A label, if given, is painted on the scene itself."""
    coarse = f"{max(width // 40, 2)}x{max(height // 40, 2)}"
    fine = f"{max(width // 8, 2)}x{max(height // 8, 2)}"
    size = f"{width}x{height}"
    graph = (
        "[1][2]blend=all_expr='A*0.6+B*0.4'[n];"
        "[0]format=yuv444p,split[m1][m2];"
        "[m1][n]blend=all_mode=average,eq=contrast=1.5[y];"
        "[y][m2]mergeplanes=0x001112:yuv444p,noise=c0s=6:c0f=u"
    )
    if label:
        graph += (f",drawtext=fontfile={SANS}:text='{label}':fontsize={width // 12}:fontcolor=white"
                  f":borderw={width // 300}:bordercolor=black:x=(w-tw)/2:y=h/8")
    graph += "[t]"
    return [
        "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
        "-f", "lavfi", "-i", f"mandelbrot=size={size}:rate=1:maxiter=200:start_scale={scale}:end_scale={scale}"
                             f":start_x={x}:start_y={y}:inner=period",
        "-f", "lavfi", "-i", f"nullsrc=size={coarse}:rate=1,geq=lum='random(1)*255':cb=128:cr=128,"
                             f"scale={size}:flags=bicubic",
        "-f", "lavfi", "-i", f"nullsrc=size={fine}:rate=1,geq=lum='random(2)*255':cb=128:cr=128,"
                             f"scale={size}:flags=bicubic",
        "-filter_complex", graph, "-map", "[t]", "-frames:v", "1", "texture.png",
    ]


def shake(span: int, periods: tuple[float, float, float], phase: float) -> str:
    """A hand-held wobble within [0, span]: a slow drift, a sway and a tremor."""
    centre = span / 2
    a, b, c = 0.62 * centre, 0.19 * centre, 0.06 * centre
    p1, p2, p3 = periods
    return (f"{centre:g}+{a:.1f}*sin(2*PI*t/{p1}+{phase})+{b:.1f}*sin(2*PI*t*{p2})"
            f"+{c:.1f}*sin(2*PI*t*{p3}+{phase * 2})")


# Stereo sound: two gliding tones and a little pink noise, different in each channel.
SOUND_INPUTS = [
    "-f", "lavfi", "-i", "aevalsrc=0.2*sin(2*PI*(220+30*sin(2*PI*t/3))*t)+0.05*sin(2*PI*1250*t)"
                         "|0.2*sin(2*PI*330*t)+0.04*sin(2*PI*2100*t):s=48000",
    "-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.05:seed=7:sample_rate=48000",
]
SOUND_GRAPH = "[2:a]pan=stereo|c0=c0|c1=c0[n];[1:a][n]amix=inputs=2:normalize=0[a]"
SOUND_CODEC = ["-c:a", "aac", "-b:a", "128k", "-ac", "2"]


def textured_clip(rate: str, motion: str, seconds: float, output: list[str],
                  video: list[str] | None = None) -> list[str]:
    """The ffmpeg run that films texture.png through the motion filters at rate, with
    the stereo sound, into output; video are the encoder's arguments (H.264, BT.709 if
    not given)."""
    return [
        "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
        "-loop", "1", "-framerate", rate, "-i", "texture.png", *SOUND_INPUTS,
        "-filter_complex", f"[0:v]{motion}[v];{SOUND_GRAPH}", "-map", "[v]", "-map", "[a]", "-t", f"{seconds:g}",
        *(video if video is not None else [*SOURCE_X264, *BT709_TAGS]), *SOUND_CODEC, *output,
    ]


def camera_recipe(seconds: float) -> tuple[list[list[str]], dict[str, str]]:
    """1920x1080 at 29.97 fps: a textured scene under a wobbling hand-held crop, with
    sensor-like temporal noise and stereo sound."""
    motion = (f"crop=1920:1080:x='{shake(480, (9, 1.3, 4.1), 0)}':y='{shake(320, (7, 1.7, 3.7), 1)}',"
              f"{TO_BT709},noise=c0s=3:c0f=t+u:c1s=2:c1f=t+u:c2s=2:c2f=t+u:all_seed=99")
    encode = textured_clip("30000/1001", motion, seconds, ["-movflags", "+faststart", "out.mp4"])
    return [texture_run(2400, 1400, -0.745, 0.12, 0.5, None), encode], {}


# The phone clips' last step: sideways.mp4 remuxed into out.mp4 with the display matrix
# that turns it a quarter clockwise to show (see phone_recipe).
SHOW_UPRIGHT = [
    "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-i", "sideways.mp4",
    "-map", "0", "-c", "copy", "-metadata:s:v:0", "rotate=270", "-movflags", "+faststart", "out.mp4",
]


def phone_recipe(seconds: float) -> tuple[list[list[str]], dict[str, str]]:
    """A 4K portrait phone clip as phones store it: the sensor's 3840x2160 landscape
    picture with a display matrix that turns it a quarter clockwise to upright. Our
    ffmpeg writes that matrix for the legacy tag rotate=270 (rotate=90 gives the
    counter-clockwise one)."""
    motion = (f"crop=2160:3840:x='{shake(240, (8, 1.1, 3.9), 0.5)}':y='{shake(260, (6, 1.6, 4.4), 2)}',"
              f"{TO_BT709},noise=c0s=3:c0f=t+u:c1s=2:c1f=t+u:c2s=2:c2f=t+u:all_seed=77,transpose=cclock")
    encode = textured_clip("30", motion, seconds, ["sideways.mp4"])
    return [texture_run(2400, 4100, -0.7453, 0.1127, 0.09, "TOP"), encode, SHOW_UPRIGHT], {}


# A phone's HDR recording: 10-bit HEVC, HLG, BT.2020, from R'G'B'. The scene's SDR white
# is carried to 600 cd/m², three times HLG's reference white, so a good share of it is
# highlight the curve must roll off, as in a phone's sky.
TO_HLG = "zscale=tin=709:pin=709:t=arib-std-b67:m=2020_ncl:p=2020:r=tv:npl=600,format=yuv420p10le"
SOURCE_X265_HLG = [
    "-c:v", "libx265", "-preset", "faster", "-crf", "18", "-pix_fmt", "yuv420p10le", "-tag:v", "hvc1",
    "-x265-params", "log-level=error:colorprim=bt2020:colormatrix=bt2020nc:transfer=arib-std-b67:range=limited",
    "-colorspace", "bt2020nc", "-color_primaries", "bt2020", "-color_trc", "arib-std-b67", "-color_range", "tv",
]


def phone_hlg_recipe(seconds: float) -> tuple[list[list[str]], dict[str, str]]:
    """A phone's default HDR clip: 1920x1080 HLG stored sideways with a display matrix
    that turns it a quarter clockwise to upright, 30 fps, with sound. As in a phone, the
    picture is turned while still R'G'B' and its chroma subsampled only as stored."""
    motion = (f"crop=1080:1920:x='{shake(200, (8, 1.2, 3.7), 1.5)}':y='{shake(240, (6, 1.4, 4.2), 0.7)}',"
              f"format=gbrp,noise=alls=2:allf=t+u:all_seed=55,transpose=cclock,{TO_HLG}")
    encode = textured_clip("30", motion, seconds, ["sideways.mp4"], SOURCE_X265_HLG)
    return [texture_run(1280, 2160, -0.7453, 0.1127, 0.12, None), encode, SHOW_UPRIGHT], {}


WORDS = ("frame buffer queue writer reader sample track audio video scale encoder muxer packet "
         "timestamp profile bitrate picture output source plan render colour matrix range level").split()


def document_text(lines: int, seed: int) -> str:
    """Lines of made-up notes, the same on every machine (a fixed linear congruential
    sequence rather than Python's random, whose algorithms may change)."""
    state = seed
    out = []
    for n in range(1, lines + 1):
        words = []
        for _ in range(6 + n % 9):
            state = (state * 1103515245 + 12345) % 2**31
            words.append(WORDS[state % len(WORDS)])
        out.append(f"{n:4d}  {' '.join(words)}")
    return "\n".join(out) + "\n"


def screen_recipe(seconds: float) -> tuple[list[list[str]], dict[str, str]]:
    """A 2560x1440 desktop at 30 fps: an editor window whose page scrolls by a few lines
    every five seconds and rests in between, a static side panel, and a pointer that
    drifts across the screen. No sound."""
    rate = 30
    # 400 pixels over 1.5 s at the start of every 5 s.
    scroll = "24-(400*floor(t/5)+(400/1.5)*min(mod(t,5),1.5))"
    text = f"fontfile={MONO}:expansion=none:fontcolor=0x202020"
    graph = ";".join([
        f"color=c=0x2d4059:s=2560x1440:r={rate}[desk]",
        f"color=c=0x3c3f41:s=2240x52:r={rate},drawtext=fontfile={SANS}:text='notes.txt':fontsize=26"
        f":fontcolor=white:x=20:y=12[title]",
        f"color=c=0xe8e8e8:s=360x1180:r={rate},drawtext={text}:textfile=tree.txt:fontsize=24"
        f":line_spacing=12:x=20:y=20[side]",
        f"color=c=white:s=1880x1180:r={rate},drawtext={text}:textfile=notes.txt:fontsize=28"
        f":line_spacing=10:x=24:y='{scroll}'[page]",
        f"color=c=white:s=18x26:r={rate},drawbox=x=2:y=2:w=14:h=22:color=black:t=fill[pointer]",
        "[desk][title]overlay=160:90[d1]",
        "[d1][side]overlay=160:142[d2]",
        "[d2][page]overlay=520:142[d3]",
        f"[d3][pointer]overlay=x='1500+700*sin(2*PI*t/11)':y='760+380*sin(2*PI*t/7+1)',{TO_BT709}[v]",
    ])
    encode = [
        "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
        "-filter_complex", graph, "-map", "[v]", "-t", f"{seconds:g}",
        *SOURCE_X264, *BT709_TAGS, "-movflags", "+faststart", "out.mp4",
    ]
    tree = "\n".join(f"{'  ' * (n % 3)}{WORDS[(n * 7) % len(WORDS)]}_{n}.txt" for n in range(40)) + "\n"
    return [encode], {"notes.txt": document_text(160, 2024), "tree.txt": tree}


RECIPES = {"camera": camera_recipe, "phone": phone_recipe, "phone-hlg": phone_hlg_recipe, "screen": screen_recipe}


def ffmpeg_version() -> str:
    return run(["ffmpeg", "-version"]).stdout.splitlines()[0]


def make_source(work: Path, kind: str, seconds: float) -> Path:
    runs, files = RECIPES[kind](seconds)
    key = hashlib.sha256(json.dumps([runs, files, ffmpeg_version()]).encode()).hexdigest()[:12]
    target = work / "sources" / f"{kind}-{seconds:g}s-{key}.mp4"
    if target.exists():
        return target
    log(f"making source {target.name}")
    scratch = work / "sources" / f"tmp-{kind}-{key}"
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    for name, content in files.items():
        (scratch / name).write_text(content)
    started = time.monotonic()
    for args in runs:
        run(args, cwd=scratch)
    (scratch / "out.mp4").rename(target)
    shutil.rmtree(scratch)
    log(f"made {target.name} in {time.monotonic() - started:.0f} s")
    return target


# --- Cases and variants ------------------------------------------------------------


@dataclasses.dataclass
class Case:
    name: str
    source: str
    seconds: float
    quick_seconds: float
    profile: str
    about: str


CASES = [
    Case("camera-balanced", "camera", 20, 4, "camera-balanced", "1080p 29.97 fps hand-held camera with sound"),
    Case("camera-high", "camera", 20, 4, "camera-high", "the same camera clip"),
    Case("phone-4k", "phone", 10, 2, "camera-high", "2160p 30 fps portrait phone clip stored sideways, with sound"),
    Case("screen", "screen", 20, 4, "screen-balanced", "1440p 30 fps screen recording, no sound"),
    Case("camera-short", "camera", 4, 4, "camera-balanced", "a short camera clip, for the bit-rate overshoot"),
    Case("phone-hlg", "phone-hlg", 10, 2, "camera-high",
         "1080p 30 fps portrait phone HDR (HLG) clip stored sideways, with sound"),
]


@dataclasses.dataclass
class Variant:
    name: str
    preset: str
    params: str | None      # x264-params, or None for libx264's defaults
    b_frames: int | None    # -bf, or None for the preset's own
    about: str


def standard_variants(ours: EncoderSettings) -> list[Variant]:
    return [
        Variant("cli-medium", "medium", None, None, "ffmpeg's default preset"),
        Variant("cli-faster", "faster", None, None, "preset faster"),
        Variant("cli-veryfast", "veryfast", None, None, "preset veryfast"),
        Variant("cli-same", ours.preset, ours.params, ours.max_b_frames,
                f"our x264 settings: preset {ours.preset}, x264-params {ours.params}, -bf {ours.max_b_frames}"),
    ]


def parse_variant(text: str, ours: EncoderSettings) -> Variant:
    """name:preset:x264params, the last part free to hold colons of its own. An empty
    preset means ours; B-frames follow ours unless the params say otherwise."""
    parts = text.split(":", 2)
    if len(parts) < 2 or not re.fullmatch(r"[A-Za-z0-9._-]+", parts[0]):
        raise argparse.ArgumentTypeError(f"expected name:preset[:x264params], got {text!r}")
    name, preset = parts[0], parts[1] or ours.preset
    params = parts[2] if len(parts) == 3 and parts[2] else None
    about = f"preset {preset}" + (f", x264-params {params}" if params else "") + f", -bf {ours.max_b_frames}"
    return Variant(f"cli-{name}", preset, params, ours.max_b_frames, about)


def cli_command(source: Path, output: Path, plan: Plan, variant: Variant) -> list[str]:
    """The ffmpeg command line for the job our tool does. ffmpeg turns the picture
    upright by itself."""
    args = [
        "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-i", str(source),
        "-map", "0:v:0",
        "-vf", f"fps={plan.rate_text},scale=w={plan.width}:h={plan.height}:flags=bicubic,"
               f"{plan.tone_map + ',' if plan.tone_map else ''}format=yuv420p",
        "-c:v", "libx264", "-preset", variant.preset, "-profile:v", "high",
        "-b:v", str(plan.video_bitrate), "-g", str(plan.key_frame_interval), "-threads", "0",
    ]
    if variant.b_frames is not None:
        args += ["-bf", str(variant.b_frames)]
    if variant.params:
        args += ["-x264-params", variant.params]
    args += BT709_TAGS
    if plan.audio_bitrate is not None:
        args += ["-map", "0:a:0", "-c:a", "aac", "-b:a", str(plan.audio_bitrate), "-ac", "1", "-ar", "48000"]
    else:
        args += ["-an"]
    return args + [str(output)]


# --- Timing --------------------------------------------------------------------------


def timed(args: list[str], out_dir: Path) -> dict:
    """Runs one whole process under GNU time: wall seconds, user+system CPU seconds,
    peak resident memory."""
    report = out_dir / "time.txt"
    stdout = out_dir / "stdout.txt"
    with open(stdout, "w") as out:
        done = subprocess.run([GNU_TIME, "-f", "%e %U %S %M", "-o", str(report), *args],
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        tail = "\n".join(done.stderr.strip().splitlines()[-10:])
        fail(f"{Path(args[0]).name} exited with {done.returncode}\n{tail}")
    wall, user, system, rss = report.read_text().strip().splitlines()[-1].split()
    return {"wall": float(wall), "cpu": float(user) + float(system), "rss_mb": int(rss) / 1024}


# --- References and scores -----------------------------------------------------------

# The two frame-picking rules when the frame rate goes down. The fps filter keeps, for
# each output time, the last input frame whose time rounded to the output's frame grid
# is not after it. Rounding to nearest gives the frame nearest the output time
# (ffmpeg's default); rounding up gives the last frame whose own time is not after the
# output time: the frame on screen then, which is what our tool keeps.
RULES = {"near": "near", "on-screen": "up"}


def make_reference(work: Path, source: Path, plan: Plan, rule: str) -> Path:
    quality = "flags=lanczos+accurate_rnd+full_chroma_int"
    if plan.tone_map:
        # An HDR source's reference goes through the same curve as the outputs, so the
        # score is of scaling and encoding, not of the curve. Its colours are converted
        # as the picture is stored, where its chroma samples' siting is defined, and the
        # result turned upright: turning first would move the chroma by a fraction of a
        # sample, which the curve carries into luma (bench/README.md, "Cases").
        width, height = (plan.height, plan.width) if plan.turn_swaps else (plan.width, plan.height)
        chain = (f"fps={plan.rate_text}:round={RULES[rule]},scale=w={width}:h={height}:{quality},"
                 f"{plan.tone_map},format=yuv420p" + (f",{plan.turn}" if plan.turn else ""))
        stored = ["-noautorotate"]
    else:
        chain = (f"fps={plan.rate_text}:round={RULES[rule]},scale=w={plan.width}:h={plan.height}:{quality}"
                 f":out_color_matrix=bt709:out_range=tv,format=yuv420p")
        stored = []
    key = hashlib.sha256(f"{source.name}|{chain}".encode()).hexdigest()[:12]
    target = work / "references" / f"{source.stem}-{rule}-{key}.mkv"
    if target.exists():
        return target
    target.parent.mkdir(parents=True, exist_ok=True)
    log(f"making reference {target.name}")
    partial = target.with_suffix(".part.mkv")
    run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", *stored, "-i", str(source), "-an",
         "-vf", chain, "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0", str(partial)])
    partial.rename(target)
    return target


def count_frames(path: Path) -> int:
    done = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                "-show_entries", "stream=nb_read_packets", "-of", "default=noprint_wrappers=1:nokey=1", str(path)])
    return int(done.stdout.strip() or 0)


def score(output: Path, reference: Path) -> dict:
    """SSIM and PSNR of an output against a reference, frames paired by their index
    (both run at the planned rate; the frame counts are checked separately)."""
    index = "settb=1/25,setpts=N"
    graph = (f"[0:v]{index}[o];[1:v]{index},split[r1][r2];"
             f"[o][r1]ssim=shortest=1[s];[s][r2]psnr=shortest=1")
    done = run(["ffmpeg", "-hide_banner", "-nostdin", "-i", str(output), "-i", str(reference),
                "-lavfi", graph, "-an", "-f", "null", "-"])
    ssim = re.search(r"SSIM Y:([\d.]+).*All:([\d.]+)", done.stderr)
    psnr = re.search(r"PSNR y:([\d.]+|inf).*average:([\d.]+|inf)", done.stderr)
    if not ssim or not psnr:
        fail(f"no SSIM or PSNR figures for {output.name}")
    return {"ssim_y": float(ssim.group(1)), "ssim_all": float(ssim.group(2)),
            "psnr_y": float(psnr.group(1)), "psnr": float(psnr.group(2))}


def snapshot(path: Path, seconds: float, target: Path, width: int = 960) -> None:
    run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-ss", f"{seconds:g}", "-i", str(path),
         "-frames:v", "1", "-vf", f"scale=w='min({width},iw)':h=-2", str(target)])


# --- One case ------------------------------------------------------------------------


def run_case(case: Case, args, work: Path, profiles, min_audio, variants: list[Variant]) -> dict:
    profile = profiles[case.profile]
    seconds = case.quick_seconds if args.quick else case.seconds
    source = make_source(work, case.source, seconds)
    outputs = work / "outputs" / case.name
    outputs.mkdir(parents=True, exist_ok=True)
    # Read once so every timed run finds the source in the page cache.
    with open(source, "rb") as f:
        while f.read(1 << 24):
            pass

    log(f"{case.name}: {relative(source)} -> profile {case.profile}, {args.runs} round(s)")
    ours_out = outputs / "ours.mp4"
    ours_args = [str(args.binary), str(source), str(ours_out), "--profile", case.profile]
    runs: dict[str, list[dict]] = {"ours": []}
    pairs: dict[str, list[float]] = {}
    plan = None
    load_before = os.getloadavg()[0]
    for round_index in range(args.runs):
        for variant in variants:
            # Ours just before each run of the command line, so both meet much the same load.
            ours = timed(ours_args, outputs)
            printed = (outputs / "stdout.txt").read_text().split()
            ours["encoder"] = printed[printed.index("ENCODER") + 1] if "ENCODER" in printed else None
            runs["ours"].append(ours)
            if plan is None:
                plan = make_plan(source, profile, min_audio, describe_output(ours_out))
            cli = timed(cli_command(source, outputs / f"{variant.name}.mp4", plan, variant), outputs)
            runs.setdefault(variant.name, []).append(cli)
            pairs.setdefault(variant.name, []).append(ours["wall"] / cli["wall"])
            log(f"  round {round_index + 1}: ours {ours['wall']:.1f} s, {variant.name} {cli['wall']:.1f} s")
    load_after = os.getloadavg()[0]

    source_frames = count_frames(source)
    rules = ["on-screen"] if plan.same_rate_as_source else ["on-screen", "near"]
    references = {rule: make_reference(work, source, plan, rule) for rule in rules}
    reference_frames = {rule: count_frames(path) for rule, path in references.items()}

    result = {
        "case": dataclasses.asdict(case), "seconds": seconds, "source": relative(source),
        "source_frames": source_frames, "profile": dataclasses.asdict(profile),
        "plan": dataclasses.asdict(plan) | {"frame_rate": plan.rate_text},
        "load": [load_before, load_after], "variants": {},
    }
    if args.snapshots:
        shots = work / "snapshots"
        shots.mkdir(exist_ok=True)
        snapshot(source, seconds / 2, shots / f"{case.name}-source.png")
    for name in ["ours"] + [v.name for v in variants]:
        output = outputs / ("ours.mp4" if name == "ours" else f"{name}.mp4")
        described = describe_output(output)
        scores = {rule: score(output, path) for rule, path in references.items()}
        best = max(scores, key=lambda rule: scores[rule]["ssim_all"])
        entry = {
            "runs": runs[name],
            "wall": statistics.median(r["wall"] for r in runs[name]),
            "cpu": statistics.median(r["cpu"] for r in runs[name]),
            "rss_mb": max(r["rss_mb"] for r in runs[name]),
            "output": described,
            "scores": scores, "rule": best if len(references) > 1 else "either", **scores[best],
        }
        if name != "ours":
            entry["ratio"] = statistics.median(pairs[name])
            variant = next(v for v in variants if v.name == name)
            entry["about"] = variant.about
            entry["command"] = " ".join(cli_command(Path("SOURCE"), Path("OUTPUT.mp4"), plan, variant)[8:])
        else:
            entry["encoder"] = runs["ours"][-1].get("encoder")
        result["variants"][name] = entry
        if args.snapshots:
            snapshot(output, seconds / 2, work / "snapshots" / f"{case.name}-{name}.png")
    result["checks"] = checks(result, plan, reference_frames)
    return result


def checks(result: dict, plan: Plan, reference_frames: dict[str, int]) -> list[str]:
    """What differs from the job as planned, or between the rule an output matched and
    the rule its side is known to follow."""
    notes = []
    for name, entry in result["variants"].items():
        o = entry["output"]
        expected = {
            "width": plan.width, "height": plan.height, "frame_rate": plan.rate_text, "profile": "High",
            "pix_fmt": "yuv420p", "colour": "bt709/bt709/bt709", "range": "tv",
            "audio_tracks": 0 if plan.audio_bitrate is None else 1,
        }
        if plan.audio_bitrate is not None:
            expected |= {"audio_codec": "aac", "channels": 1, "sample_rate": 48000}
        got = dict(o)
        if "frame_rate" in got:
            got["frame_rate"] = str(rational(got["frame_rate"]))
        for key, want in expected.items():
            if str(got.get(key)) != str(want):
                notes.append(f"{name}: {key} is {got.get(key)}, planned {want}")
        if o.get("key_frame_gap", 0) > plan.key_frame_interval:
            notes.append(f"{name}: {o['key_frame_gap']} frames between key frames, planned at most "
                         f"{plan.key_frame_interval}")
        for rule, frames in reference_frames.items():
            if abs(o.get("frames", 0) - frames) > 1:
                notes.append(f"{name}: {o.get('frames')} frames, the {rule} reference has {frames}")
        if entry["rule"] != "either":
            expected_rule = "on-screen" if name == "ours" else "near"
            if entry["rule"] != expected_rule:
                notes.append(f"{name}: scored better against the {entry['rule']} reference, "
                             f"expected {expected_rule}")
    return notes


# --- Report --------------------------------------------------------------------------


def percent(achieved: float, planned: float) -> str:
    return f"{(achieved / planned - 1) * 100:+.1f} %" if planned else "-"


def markdown(results: list[dict], meta: dict) -> str:
    lines = ["# Benchmark results", ""]
    lines += [f"- {key}: {value}" for key, value in meta.items()]
    lines += ["", "Wall, CPU (user + system) and ratio are medians over the runs; the ratio pairs each "
              "command-line run with the run of ours just before it. Memory is the highest peak "
              "resident set of any run. Quality is scored against the lossless reference made with "
              "the frame-picking rule the output matches better (\"either\" when the output keeps "
              "every source frame).", ""]
    for r in results:
        plan = r["plan"]
        audio = f"{plan['audio_bitrate'] / 1000:g} kb/s mono AAC 48 kHz" if plan["audio_bitrate"] else "no sound"
        lines += [f"## {r['case']['name']}", "",
                  f"{r['case']['about']}, {r['seconds']:g} s → profile `{r['case']['profile']}`. "
                  f"Plan: {plan['width']}x{plan['height']}, {plan['frame_rate']} fps (source "
                  f"{plan['source_fps']:g}), {plan['video_bitrate'] / 1000:g} kb/s, key frame every "
                  f"{plan['key_frame_interval']} frames, {audio}. "
                  f"Load average {r['load'][0]:.1f} before, {r['load'][1]:.1f} after.", "",
                  "| Encoder | Wall s | Ours/CLI | CPU s | Peak MB | Video kb/s | vs plan | SSIM Y | SSIM All "
                  "| PSNR dB | Reference |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
        for name, v in r["variants"].items():
            rate = v["output"].get("video_bitrate", 0)
            ratio = f"{v['ratio']:.2f}" if "ratio" in v else "-"
            others = [f"{rule} {s['ssim_all']:.3f}" for rule, s in v["scores"].items()
                      if v["rule"] != "either" and rule != v["rule"]]
            reference = v["rule"] + (f" (other: {', '.join(others)})" if others else "")
            label = f"ours ({v['encoder']})" if name == "ours" and v.get("encoder") else name
            lines.append(f"| {label} | {v['wall']:.2f} | {ratio} | {v['cpu']:.2f} | {v['rss_mb']:.0f} | "
                         f"{rate / 1000:.0f} | {percent(rate, plan['video_bitrate'])} | {v['ssim_y']:.4f} | "
                         f"{v['ssim_all']:.4f} | {v['psnr']:.2f} | {reference} |")
        lines.append("")
        if r["checks"]:
            lines += ["Differences from the plan:", ""] + [f"- {c}" for c in r["checks"]] + [""]
    lines += ["## Command lines", "", "Each command-line variant runs as `ffmpeg -hide_banner -nostdin "
              "-loglevel error -y -i SOURCE` followed by (shown for the first case):", ""]
    if results:
        for name, v in results[0]["variants"].items():
            if name != "ours":
                lines += [f"- `{name}` ({v['about']}): `{v['command']}`"]
    return "\n".join(lines) + "\n"


def chart(results: list[dict], target: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("bench: matplotlib is missing (Debian: python3-matplotlib); no chart", file=sys.stderr)
        return False
    columns = min(len(results), 3)
    rows = math.ceil(len(results) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(5.2 * columns, 4.2 * rows), squeeze=False)
    for ax, r in zip(axes.flat, results):
        for name, v in r["variants"].items():
            ours = name == "ours"
            ax.scatter(v["wall"], v["ssim_y"], marker="*" if ours else "o", s=160 if ours else 50,
                       color="tab:red" if ours else "tab:blue", zorder=3)
            # Ours labelled below its point, so a command-line point on top of it stays legible.
            ax.annotate(name.removeprefix("cli-"), (v["wall"], v["ssim_y"]), textcoords="offset points",
                        xytext=(6, -12) if ours else (6, 4), fontsize=8)
        ax.set_title(f"{r['case']['name']} ({r['case']['profile']})", fontsize=10)
        ax.set_xlabel("median wall time (s)")
        ax.set_ylabel("SSIM Y")
        ax.grid(True, alpha=0.3)
        ax.margins(x=0.25, y=0.2)
    for ax in list(axes.flat)[len(results):]:
        ax.set_visible(False)
    figure.suptitle("Quality against wall time: ours (star) and the ffmpeg command line")
    figure.tight_layout()
    figure.savefig(target, dpi=110)
    plt.close(figure)
    return True


def code_version() -> str:
    def git(*args: str) -> str:
        done = subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True)
        return done.stdout.strip() if done.returncode == 0 else ""

    commit = git("rev-parse", "--short", "HEAD")
    if not commit:
        return "unknown"
    return commit + (" with uncommitted changes in src/" if git("status", "--porcelain", "--", "src") else "")


def machine() -> str:
    model = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{os.cpu_count()} logical CPUs" + (f", {model}" if model else "")


# --- Main ----------------------------------------------------------------------------


def main() -> None:
    ours = read_encoder_settings()
    parser = argparse.ArgumentParser(
        description="Times quorle-video-compress against the ffmpeg command line doing the same job.")
    parser.add_argument("cases", nargs="*", metavar="CASE",
                        help=f"cases to run (default all): {', '.join(c.name for c in CASES)}")
    parser.add_argument("--quick", action="store_true",
                        help="short sources (2-4 s) and one round unless --runs says otherwise")
    parser.add_argument("--runs", type=int, help="rounds per case (default 3, quick 1)")
    parser.add_argument("--binary", type=Path, default=ROOT / "build/src/app/quorle-video-compress",
                        help="our executable (default build/src/app/quorle-video-compress)")
    parser.add_argument("--work", type=Path, default=BENCH / "work",
                        help="sources, references and outputs (default bench/work)")
    parser.add_argument("--results", type=Path,
                        help="where the table, JSON and chart go (default bench/results, quick: WORK/results-quick)")
    parser.add_argument("--variants", default="cli-medium,cli-faster,cli-veryfast,cli-same",
                        help="standard command-line variants to run, comma-separated (empty for none)")
    parser.add_argument("--cli-variant", action="append", default=[], metavar="NAME:PRESET:X264PARAMS",
                        type=lambda text: parse_variant(text, ours),
                        help="an extra command-line variant (repeatable); empty PRESET means ours")
    parser.add_argument("--snapshots", action="store_true",
                        help="also write a PNG from the middle of each source and output to WORK/snapshots")
    parser.add_argument("--list", action="store_true", help="show the cases and variants and stop")
    args = parser.parse_args()

    standard = {v.name: v for v in standard_variants(ours)}
    chosen = [name for name in args.variants.split(",") if name]
    unknown = [name for name in chosen if name not in standard]
    if unknown:
        parser.error(f"unknown variant {', '.join(unknown)}; known: {', '.join(standard)}")
    variants = [standard[name] for name in chosen] + args.cli_variant
    if len({v.name for v in variants}) != len(variants):
        parser.error("two variants have the same name")
    if not variants:
        parser.error("no command-line variant to compare with")
    if args.list:
        for c in CASES:
            print(f"case {c.name}: {c.about}, {c.seconds:g} s (quick {c.quick_seconds:g} s) -> {c.profile}")
        for v in variants:
            print(f"variant {v.name}: {v.about}")
        return
    known = {c.name: c for c in CASES}
    if any(name not in known for name in args.cases):
        parser.error(f"unknown case; known: {', '.join(known)}")
    cases = [known[name] for name in args.cases] if args.cases else CASES
    args.runs = args.runs or (1 if args.quick else 3)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    args.work = args.work.resolve()
    args.results = (args.results or (args.work / "results-quick" if args.quick else BENCH / "results")).resolve()
    args.binary = args.binary.resolve()

    missing = [tool for tool in ("ffmpeg", "ffprobe") if shutil.which(tool) is None]
    missing += [str(p) for p in (Path(GNU_TIME), SANS, MONO) if not p.exists()]
    if missing:
        fail(f"missing {', '.join(missing)}; bench/run.sh installs what is needed "
             "(Debian: ffmpeg time fonts-dejavu-core python3-matplotlib)")
    if not os.access(args.binary, os.X_OK):
        fail(f"no executable at {args.binary}; build it (scripts/build.sh) or pass --binary")

    profiles = read_profiles()
    min_audio = read_min_audio_bitrate()
    args.work.mkdir(parents=True, exist_ok=True)
    args.results.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    meta = {
        "date": datetime.date.today().isoformat(),
        "machine": machine(),
        "ffmpeg": ffmpeg_version(),
        "binary": relative(args.binary),
        "code": code_version(),
        "our x264 settings": f"preset {ours.preset}, x264-params {ours.params}, B-frames {ours.max_b_frames}, "
                             "threads 0",
        "rounds per case": args.runs,
        "mode": "quick (short sources)" if args.quick else "full",
    }
    log(f"our x264 settings: {meta['our x264 settings']}")
    results = [run_case(c, args, args.work, profiles, min_audio, variants) for c in cases]
    meta["total time"] = f"{(time.monotonic() - started) / 60:.1f} min"

    (args.results / "results.json").write_text(json.dumps({"meta": meta, "cases": results}, indent=1) + "\n")
    table = markdown(results, meta)
    (args.results / "results.md").write_text(table)
    drawn = chart(results, args.results / "quality-vs-time.png")
    print()
    print(table)
    log(f"wrote {args.results / 'results.md'}" + (" and quality-vs-time.png" if drawn else ""))


if __name__ == "__main__":
    main()
