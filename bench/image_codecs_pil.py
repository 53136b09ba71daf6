#!/usr/bin/env python3
"""PIL's side of bench_image_codecs: the same 4000x3000 picture (raw BGRA words written by
bench_image_codecs PATH), PNG at zlib level 6 and JPEG at quality 75 with 4:2:0
subsampling, best of five runs, in milliseconds. The JPEG encode times the conversion to
RGB too, as ours encodes from the BGRA words.

    python3 bench/image_codecs_pil.py PATH
"""
import io
import sys
import time

from PIL import Image

W, H = 4000, 3000


def best_ms(run):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        run()
        best = min(best, (time.perf_counter() - start) * 1000)
    return best


def main():
    raw = open(sys.argv[1], "rb").read()
    picture = Image.frombuffer("RGBA", (W, H), raw, "raw", "BGRA", 0, 1)

    def encode(image, **options):
        out = io.BytesIO()
        image.save(out, **options)
        return out.getvalue()

    png = encode(picture, format="PNG", compress_level=6)
    jpeg = encode(picture.convert("RGB"), format="JPEG", quality=75, subsampling=2)
    rows = [
        ("PNG encode (zlib level 6)", best_ms(lambda: encode(picture, format="PNG", compress_level=6))),
        ("PNG decode", best_ms(lambda: Image.open(io.BytesIO(png)).load())),
        ("JPEG encode (quality 75)",
         best_ms(lambda: encode(picture.convert("RGB"), format="JPEG", quality=75, subsampling=2))),
        ("JPEG decode", best_ms(lambda: Image.open(io.BytesIO(jpeg)).load())),
    ]
    print("4000x3000, best of 5, ms    PIL")
    for name, ms in rows:
        print(f"{name:<28} {ms:7.1f}")
    print(f"PNG {len(png)} bytes, JPEG {len(jpeg)} bytes")


main()
