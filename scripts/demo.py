"""The main job: lists what _native_core finds, then records a few seconds of
the first monitor (through ffmpeg into an MP4 file when ffmpeg is installed,
else as raw BGRX frames) and of what the default output plays (a WAV file)."""

import argparse
import shutil
import subprocess
import time
import wave

import _native_core as core


def list_everything() -> None:
    for monitor in core.list_monitors():
        print(f"monitor  {monitor!r}")
    for window in core.list_windows():
        print(f"window   {window!r}  class={window.class_name!r}")
    for device in core.list_audio_devices():
        print(f"audio    {device!r}  id={device.id!r}")


def record(seconds: float, fps: int, video_path: str, audio_path: str) -> None:
    monitors = core.list_monitors()
    if not monitors:
        raise SystemExit("no monitor to record (is DISPLAY set?)")
    fps = core.VideoCapture.measure_achievable_fps(0, target_fps=fps)
    audio = core.AudioCapture(audio_path)
    audio.start()
    if not audio.wait_started(10.0):
        raise SystemExit(f"audio did not start: {audio.error}")

    width, height = monitors[0].width, monitors[0].height
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg:
        encoder = subprocess.Popen(
            [ffmpeg, "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgra",
             "-s", f"{width}x{height}", "-r", str(fps), "-i", "-",
             "-pix_fmt", "yuv420p", video_path],
            stdin=subprocess.PIPE)
        stream = encoder.stdin
    else:
        encoder = None
        video_path += ".bgrx"
        stream = open(video_path, "wb")
    video = core.VideoCapture(stream, fps=fps, monitor_index=0)
    video.start()
    video.wait_ready(10.0)
    time.sleep(seconds)
    video.stop()
    audio.stop()
    video.wait()
    audio.wait()
    stream.close()
    if encoder:
        encoder.wait()
    for capture, name in ((video, "video"), (audio, "audio")):
        if capture.error:
            raise SystemExit(f"{name} failed: {capture.error}")
    with wave.open(audio_path, "rb") as w:
        length = w.getnframes() / w.getframerate()
        print(f"audio    {audio_path}: {w.getnchannels()} ch, {w.getframerate()} Hz, "
              f"16-bit, {length:.2f} s (format {audio.sample_rate} Hz / "
              f"{audio.bits_per_sample}-bit)")
    print(f"video    {video_path}: {width}x{height} at {fps} fps")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--video", default="demo.mp4")
    parser.add_argument("--audio", default="demo.wav")
    args = parser.parse_args()
    list_everything()
    record(args.seconds, args.fps, args.video, args.audio)


if __name__ == "__main__":
    main()
