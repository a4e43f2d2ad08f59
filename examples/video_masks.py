#!/usr/bin/env python3
"""Runs a video file through SC-VARDO and shows the masks, or writes them.

    PYTHONPATH=build/python python3 examples/video_masks.py VIDEO [OUTDIR] [-K N]

With OUTDIR the masks of the frames after calibration are written there as
bin%06d.png (frames counted from 1); without it they are shown in a window
(press q to stop).
"""
import argparse
import os

import cv2

import scvardo


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("video")
    ap.add_argument("outdir", nargs="?")
    ap.add_argument("-K", type=int, default=50, help="calibration frames (default 50)")
    args = ap.parse_args()

    capture = cv2.VideoCapture(args.video)
    if not capture.isOpened():
        raise SystemExit(f"cannot open {args.video}")
    bs = scvardo.createBackgroundSubtractor(K=args.K)   # or cv2.createBackgroundSubtractorKNN()
    if args.outdir:
        os.makedirs(args.outdir, exist_ok=True)
    index = 0
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        index += 1
        mask = bs.apply(frame)
        if index <= args.K:
            continue                                     # still calibrating: the mask is empty
        if args.outdir:
            cv2.imwrite(os.path.join(args.outdir, f"bin{index:06d}.png"), mask)
        else:
            cv2.imshow("frame", frame)
            cv2.imshow("mask", mask)
            if cv2.waitKey(1) & 0xFF == ord("q"):
                break
    print(f"{index} frames")


if __name__ == "__main__":
    main()
