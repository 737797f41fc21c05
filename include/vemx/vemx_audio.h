/*
 * Audio utilities: in-place gain on 8-bit unsigned and 16-bit signed PCM,
 * the dominant frequency of a block of samples, and a real-to-complex FFT
 * (FFTW 3).  All functions keep no per-call state and may be called from any
 * thread at any time.  Errors are logged with the tag "ERROR[AudioUtils] ".
 *
 * Gain is a signed fixed-point factor with 8 fractional bits: 256 = unity,
 * 512 = double level, 128 = half, negative values invert the polarity.
 *   8-bit:  y = floor(((x - 128) * gain + 128) / 256) + 128, clamped to 0..255
 *   16-bit: y = floor((x * gain + 128) / 256), clamped to -32768..32767
 * The result is exact for every gain: it is clamped from the untruncated
 * product, so huge gains saturate instead of wrapping.
 *
 * Sample reading for the FFT functions: n samples from data, starting at
 * sample index offset and stepping stride samples (stride = channel count and
 * offset = channel reads one channel of interleaved audio).  bits 8 reads
 * unsigned bytes as x / 255.0 * 2.0 - 1.0; bits 16 reads signed 16-bit
 * samples as x / 32767.0; other bits read as silence.
 *
 * Spectrum: n / 2 + 1 complex values (integer division), each two doubles
 * (real, imaginary), unnormalised: the half-complex output of FFTW's real
 * transform of size n.
 *
 * Transform plans are made once per size and kept (a bounded cache), so
 * repeated calls do not plan again.  FFTW's planner is not thread-safe: the
 * library serialises its own planning, but a host that also plans with FFTW
 * on other threads must not do so while calling these functions.
 */
#ifndef VEMX_AUDIO_H
#define VEMX_AUDIO_H

#include <stddef.h>
#include <stdint.h>

#include "vemx_export.h"

VEMX_EXTERN_C_BEGIN

/* Applies gain in place to frames * channels samples; nothing happens when
 * that product is 0 or negative. */
VEMX_API void vemx_audio_rescale_8u_C1IR(uint8_t* data, int frames, int channels, int gain);
VEMX_API void vemx_audio_rescale_16s_C1IR(int16_t* data, int frames, int channels, int gain);

/* Writes the frequency in Hz of the strongest spectral bin among bins
 * 0 .. n/2 - 1 (index * sample_rate / n) and that bin's power
 * (re^2 + im^2).  No window is applied and the mean is kept.  When no bin
 * has positive power (silence, unsupported bits) the frequency is
 * (n + 1) * sample_rate / n, above the sample rate, and the power 0.
 * n <= 0, or null data with bits 8 or 16: logs an error, frequency NaN,
 * power 0.
 * Null output pointers are skipped.  (The name is spelled so.) */
VEMX_API void vemx_audio_dominant_freqency(const void* data, int bits, int stride, int sample_rate,
                                           int n, int offset, double* frequency, double* power);

/* A buffer (fftw_malloc) for the spectrum of an n-point transform; its size,
 * (n / 2 + 1) * 16 bytes, goes to *size.  Null size: logs
 * "vemx_fft_malloc: invalid output buffer" and returns null.  n <= 0: logs
 * an error, writes 0 to *size and returns null.  Free with vemx_fft_free. */
VEMX_API void* vemx_fft_malloc(int n, size_t* size);
VEMX_API void vemx_fft_free(void* buffer);

/* Writes the spectrum of n samples into spectrum (any buffer of at least
 * (n / 2 + 1) * 16 bytes, suitably aligned for doubles; a vemx_fft_malloc
 * buffer is fastest).  sample_rate is unused; it keeps the argument list of
 * vemx_audio_dominant_freqency.  Returns 1 when the spectrum was written
 * (also for unsupported bits, which transform silence after logging), 0 on
 * error: null spectrum, n <= 0, buffer too small, null data with bits 8 or
 * 16. */
VEMX_API int vemx_fft_execute(const void* data, int bits, int stride, int sample_rate, int n,
                              int offset, void* spectrum, size_t spectrum_size);

VEMX_EXTERN_C_END

#endif
