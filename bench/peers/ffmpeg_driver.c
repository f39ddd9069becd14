/* FFmpeg's LRC demuxer in the peer comparison: the file is fed from memory
 * through a custom AVIOContext, the "lrc" input format forced, and every
 * packet read; one packet is one timed line.
 *
 * usage: ffmpeg_driver FILE [BUDGET_SECONDS] */
#include "driver.h"

#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>

#define IO_BUFFER_SIZE 65536

struct input {
    const uint8_t *data;
    size_t size;
    size_t pos;
};

static int read_packet(void *opaque, uint8_t *buf, int size) {
    struct input *in = opaque;
    size_t left = in->size - in->pos;
    if (left == 0) return AVERROR_EOF;
    size_t n = left < (size_t)size ? left : (size_t)size;
    memcpy(buf, in->data + in->pos, n);
    in->pos += n;
    return (int)n;
}

static int64_t seek(void *opaque, int64_t offset, int whence) {
    struct input *in = opaque;
    if (whence == AVSEEK_SIZE) return (int64_t)in->size;
    int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = (int64_t)in->pos; break;
    case SEEK_END: base = (int64_t)in->size; break;
    default: return AVERROR(EINVAL);
    }
    if (base + offset < 0 || base + offset > (int64_t)in->size) return AVERROR(EINVAL);
    in->pos = (size_t)(base + offset);
    return (int64_t)in->pos;
}

static const AVInputFormat *lrc_format;

static int64_t pass_demux(void *ctx) {
    struct input *in = ctx;
    in->pos = 0;
    int64_t packets = -1;
    AVFormatContext *fmt = avformat_alloc_context();
    uint8_t *iobuf = av_malloc(IO_BUFFER_SIZE);
    AVIOContext *io = iobuf ? avio_alloc_context(iobuf, IO_BUFFER_SIZE, 0, in, read_packet, NULL, seek) : NULL;
    AVPacket *pkt = av_packet_alloc();
    if (!fmt || !io || !pkt) {
        if (!io) av_free(iobuf);
        avformat_free_context(fmt);
        goto done;
    }
    fmt->pb = io;
    fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    /* On failure avformat_open_input frees the context itself. */
    if (avformat_open_input(&fmt, "", lrc_format, NULL) < 0) goto done;
    packets = 0;
    while (av_read_frame(fmt, pkt) >= 0) {
        packets++;
        av_packet_unref(pkt);
    }
    avformat_close_input(&fmt);
done:
    av_packet_free(&pkt);
    if (io) {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
    return packets;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: ffmpeg_driver FILE [BUDGET_SECONDS]\n");
        return 2;
    }
    av_log_set_level(AV_LOG_QUIET);
    lrc_format = av_find_input_format("lrc");
    if (!lrc_format) {
        fprintf(stderr, "ffmpeg_driver: this libavformat has no lrc demuxer\n");
        return 2;
    }
    struct input in = {0};
    char *buf = driver_read(argv[1], &in.size);
    if (!buf) {
        fprintf(stderr, "ffmpeg_driver: cannot read %s\n", argv[1]);
        return 2;
    }
    in.data = (const uint8_t *)buf;
    int rc = driver_run(pass_demux, &in, in.size, driver_budget(argc > 2 ? argv[2] : NULL), NULL);
    free(buf);
    return rc;
}
