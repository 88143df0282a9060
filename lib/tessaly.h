/* Tessaly as a library: dithers 8-bit RGB or RGBA pixels in memory to a palette
 * of up to 256 colours and hands back one palette index a pixel, with the same
 * engine, options and results as the tessaly program. Nothing is printed and
 * nothing ends the process; every failure is a status code, and the words of
 * the last one are kept by the settings object the call was given.
 *
 * In calling order:
 *
 *     tessaly_settings *settings = tessaly_settings_new();
 *     tessaly_settings_set(settings, "-w", "sierra");        // or "window"
 *     tessaly_palette *palette = tessaly_palette_read(settings, "pico-8");
 *     tessaly_image image = { pixels, width, height, width * 3, 3 };
 *     uint8_t *indices = NULL;                                // the library allocates
 *     tessaly_output_palette output;
 *     if (tessaly_dither(settings, palette, &image, &indices, 0, &output) != TESSALY_OK)
 *         fprintf(stderr, "%s\n", tessaly_settings_error(settings));
 *     ...
 *     tessaly_free(indices);
 *     tessaly_palette_destroy(palette);
 *     tessaly_settings_destroy(settings);
 *
 * Threads: the engine keeps its state process-wide, so the calls that read
 * or change it (tessaly_settings_set, tessaly_palette_read, tessaly_dither)
 * are serialised by one lock inside the library: any thread may call at any
 * time, and a call waits while another runs. Each dither uses every core for
 * its one image, as the program does. A settings object is used by one thread
 * at a time (it keeps the words of its last failure); a palette may be given
 * to dithers on several threads at once. */
#ifndef TESSALY_H
#define TESSALY_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum tessaly_status {
    TESSALY_OK = 0,
    TESSALY_UNKNOWN_OPTION = 1,  /* no option has that name, or it means nothing in memory (-o, -z) */
    TESSALY_BAD_VALUE = 2,       /* the option does not take that value */
    TESSALY_PALETTE_ERROR = 3,   /* no palette came of the name, the file or the colours */
    TESSALY_BAD_IMAGE = 4,       /* null pixels, a size, stride or channel count that does not fit */
    TESSALY_OUT_OF_MEMORY = 5,   /* memory ran out, or the image has more than 1,073,741,823 pixels */
    TESSALY_BAD_ARGUMENT = 6     /* a null handle or output where one is needed */
} tessaly_status;

/* The library's version, the program's: a static string, never null. */
const char *tessaly_version(void);

/* ---- Settings ----------------------------------------------------------- */

/* Everything the command line's options set, at their defaults, for the
 * dithers it is given to. Returns null when memory runs out. */
typedef struct tessaly_settings tessaly_settings;
tessaly_settings *tessaly_settings_new(void);

/* Frees the settings; null is ignored. */
void tessaly_settings_destroy(tessaly_settings *settings);

/* Sets one option as the command line does, through the program's own option
 * table, so a value means here exactly what it means there. The option is
 * given by its command-line name ("-w", "-s", "-d", "-lmx", ...) or by its
 * long name:
 *
 *     palette -p           window -w            serpentine -s
 *     level -d             weights -q           metric -e
 *     max_limit -lmx       min_limit -lmn       max_level -mxl
 *     min_level -mnl       gamma -g             pre_processing -pp
 *     pre_processing_window -ppw                pre_processing_passes -ppc
 *     color_space -c       level_compress -lc   alpha -a
 *     match -m             output_palette -po   fixed_palette_array -fpa
 *     limits (-lmx and -lmn at once)
 *
 * and the value as on the command line: set(settings, "window", "floyd"),
 * set(settings, "-s", "on"), set(settings, "level", "0.8"). Unlike the
 * command line, a value the option does not take is an error, and so is a
 * number that is not all a number ("0.8x"). Later settings of an option
 * replace earlier ones. "-p" names the palette of the dithers given no
 * palette object (palette.act in the working directory until it is set, as for
 * the program); it is read when the dither runs, and "-p auto:N" makes N
 * colours from each image dithered. "-o" and "-z" are about
 * files and are refused; "-fpa" is accepted and changes nothing.
 * Returns TESSALY_OK; TESSALY_UNKNOWN_OPTION or TESSALY_BAD_VALUE, with the
 * settings unchanged and the reason in tessaly_settings_error;
 * TESSALY_BAD_ARGUMENT for a null argument; TESSALY_OUT_OF_MEMORY. */
tessaly_status tessaly_settings_set(tessaly_settings *settings, const char *option, const char *value);

/* The words of the last failure of a call given these settings ("" after a
 * call that succeeded), e.g. `window: no value "sierra3"; the values are
 * floyd, round, ...` or `palette open error: pico-9`. Owned by the settings;
 * valid until the next call given them. Never null; for null settings, a
 * static "no settings". */
const char *tessaly_settings_error(const tessaly_settings *settings);

/* ---- Palettes ----------------------------------------------------------- */

/* A palette of 1 to 256 colours, held in memory. */
typedef struct tessaly_palette tessaly_palette;

/* Copies count colours of 3 bytes each (red, green, blue). Returns null for a
 * null rgb, a count outside 1 ... 256, or when memory runs out. */
tessaly_palette *tessaly_palette_new(const uint8_t *rgb, int count);

/* Reads a palette as -p does: a palette file in any format the program reads
 * (colour table, GIMP, JASC or RIFF .pal, .hex, paint.net .txt, an image of
 * swatches), an installed palette by name ("pico-8", "spectra6"), or the
 * colours written out ("#000 #fff,#f00"), tried in that order as -p tries
 * them; "auto:N" is for -p alone, made from each image. A colour table
 * gives all its 256 entries to the output. Relative
 * paths are taken from the working directory; the installed palettes are
 * those of the prefix the library lies under (a program linked with the
 * static library: the prefix the program lies under), else of the prefix the
 * build was configured for. Returns null when no palette comes of
 * it, with the reason in tessaly_settings_error(settings) ("palette open
 * error: NAME", "palette format error: NAME"); null too for a null argument or
 * when memory runs out. The settings are only where the reason goes. */
tessaly_palette *tessaly_palette_read(tessaly_settings *settings, const char *name);

/* The palette's number of colours and its colours, 3 bytes each; owned by the
 * palette. 0 and null for a null palette. */
int tessaly_palette_count(const tessaly_palette *palette);
const uint8_t *tessaly_palette_colors(const tessaly_palette *palette);

/* Frees the palette; null is ignored. */
void tessaly_palette_destroy(tessaly_palette *palette);

/* ---- Dithering ---------------------------------------------------------- */

/* Pixels of 3 (red, green, blue) or 4 (and alpha, 0 clear ... 255 opaque)
 * bytes, row by row from the top; stride is the distance in bytes from one
 * row's start to the next, at least width * channels. The alpha of 4-byte
 * pixels is read only under an alpha threshold (-a); without one every pixel
 * is dithered as opaque, as the program treats an image with alpha. */
typedef struct tessaly_image {
    const uint8_t *pixels;
    int width;
    int height;
    size_t stride;
    int channels;
} tessaly_image;

/* The palette of the indices, as the program writes it into its output:
 * every entry of a 768-byte colour table or just the palette's colours, the
 * -po colours in place of -p's when -po is set, and with -a the transparent
 * entry (black after a short palette's colours, or entry 255 of a full one).
 * Every index is below entries. */
typedef struct tessaly_output_palette {
    int entries;              /* 1 ... 256 */
    uint8_t rgb[256 * 3];     /* entries colours of 3 bytes; the rest 0 */
    int transparent_entry;    /* the entry clear pixels took with -a; -1 without */
} tessaly_output_palette;

/* Dithers the image to the palette (or, for a null palette, to the palette
 * named by the settings' -p, read now) with the settings, exactly as the
 * program dithers the same pixels as the only file of its run: nothing of
 * an earlier call carries over. indices must not be null:
 *   - *indices not null: the caller's buffer of height rows of width bytes,
 *     index_stride bytes apart (0 means width);
 *   - *indices null: the library allocates width * height bytes, rows packed
 *     (index_stride is ignored), sets *indices to them, and the caller frees
 *     them with tessaly_free; on failure *indices stays null.
 * output, when not null, receives the palette of the indices.
 * Returns TESSALY_OK; TESSALY_BAD_IMAGE for null pixels, a width or height
 * below 1, channels other than 3 or 4, a stride below width * channels or an
 * index_stride below width; TESSALY_BAD_VALUE for settings that do not go
 * together (-m oklab in a colour space other than rgb); TESSALY_PALETTE_ERROR when the -p palette cannot
 * be read (nothing written then); TESSALY_OUT_OF_MEMORY; TESSALY_BAD_ARGUMENT
 * for null settings or a null indices. The reason is in
 * tessaly_settings_error(settings). On failure the caller's buffer may hold
 * part of the indices. */
tessaly_status tessaly_dither(tessaly_settings *settings, const tessaly_palette *palette,
                              const tessaly_image *image, uint8_t **indices, size_t index_stride,
                              tessaly_output_palette *output);

/* Frees a buffer the library allocated; null is ignored. */
void tessaly_free(void *buffer);

#ifdef __cplusplus
}
#endif

#endif
