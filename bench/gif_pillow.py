"""gif_pillow.py: Pillow's side of bench_gif: times Image.save(..., 'GIF', interlace=False) of 8-bit
pixels in process, and writes its file for the code-stream comparison.

Usage: gif_pillow.py PIXELS PALETTE WIDTH HEIGHT REPEATS OUT.gif
Prints: best seconds, output bytes.
"""
import io
import sys
import time

from PIL import Image


def main():
    pixels_path, palette_path, width, height, repeats, out_path = sys.argv[1:7]
    width, height, repeats = int(width), int(height), int(repeats)
    with open(pixels_path, 'rb') as f:
        pixels = f.read()
    with open(palette_path, 'rb') as f:
        palette = f.read()
    image = Image.frombytes('P', (width, height), pixels)
    image.putpalette(palette)
    best = None
    data = b''
    for _ in range(repeats):
        buffer = io.BytesIO()
        start = time.perf_counter()
        image.save(buffer, 'GIF', interlace=False)
        elapsed = time.perf_counter() - start
        if best is None or elapsed < best:
            best = elapsed
        data = buffer.getvalue()
    with open(out_path, 'wb') as f:
        f.write(data)
    print(f'{best:.6f} {len(data)}')


if __name__ == '__main__':
    main()
