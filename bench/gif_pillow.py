"""gif_pillow.py: Pillow's side of bench_gif, timed in process (median processor time of the runs).

Usage: gif_pillow.py encode PIXELS PALETTE WIDTH HEIGHT REPEATS OUT.gif
         Image.save(..., 'GIF', interlace=False) of 8-bit pixels; writes its file for the code-stream
         comparison.
       gif_pillow.py whole RGB PALETTE WIDTH HEIGHT REPEATS OUT.png
         writes the RGB pixels as OUT.png, then times opening it, quantizing it to the palette without
         dithering and saving the GIF.
Prints: median seconds, GIF bytes.
"""
import io
import statistics
import sys
import time

from PIL import Image


def timed(repeats, work):
    times = []
    data = b''
    for _ in range(repeats):
        start = time.process_time()
        data = work()
        times.append(time.process_time() - start)
    return statistics.median(times), data


def main():
    mode, pixels_path, palette_path, width, height, repeats, out_path = sys.argv[1:8]
    width, height, repeats = int(width), int(height), int(repeats)
    with open(pixels_path, 'rb') as f:
        pixels = f.read()
    with open(palette_path, 'rb') as f:
        palette = f.read()

    if mode == 'encode':
        image = Image.frombytes('P', (width, height), pixels)
        image.putpalette(palette)

        def work():
            buffer = io.BytesIO()
            image.save(buffer, 'GIF', interlace=False)
            return buffer.getvalue()

        seconds, data = timed(repeats, work)
        with open(out_path, 'wb') as f:
            f.write(data)
    else:
        Image.frombytes('RGB', (width, height), pixels).save(out_path, 'PNG')
        table = Image.new('P', (1, 1))
        table.putpalette(palette)

        def work():
            with Image.open(out_path) as picture:
                quantized = picture.convert('RGB').quantize(palette=table, dither=Image.Dither.NONE)
            buffer = io.BytesIO()
            quantized.save(buffer, 'GIF', interlace=False)
            return buffer.getvalue()

        seconds, data = timed(repeats, work)
    print(f'{seconds:.6f} {len(data)}')


if __name__ == '__main__':
    main()
