// A USB webcam (USB Video Class 1.00) played on gadgetfs, so that the kernel's own uvcvideo
// driver binds to it inside a VM and makes a capture node: test equipment for webcam problems.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
//
// Usage: webcam [-c FIFO] [-d MS] [-g DIR] [-v]
//   -c FIFO  read commands from FIFO (made with mkfifo; it is opened read-write, so writers may
//            come and go); one command a line, see below
//   -d MS    answer every request MS milliseconds late from the start (as the "delay" command)
//   -g DIR   where gadgetfs is, or is mounted if it is not yet (default /dev/gadget)
//   -v       log every request to standard error
// Needs the dummy_hcd and gadgetfs modules (tools/vm: /modules/load usb), root, and one CPU in
// the guest (see "Lost data stages"). It runs in the foreground until "disconnect", SIGTERM or
// SIGINT; start it in the background with an output of its own, for example
//   mkfifo /tmp/cam; /case/webcam -c /tmp/cam >/out/webcam.log 2>&1 &
//   while [ ! -e /dev/video0 ]; do sleep 0.05; done
// Log lines begin "webcam: SECONDS" (since the start). "webcam: ERROR" lines are failures.
//
// Commands:
//   delay MS         answer each request that the host waits on MS ms late (0: at once):
//                    every GET_* and the acknowledgements of SET_CONFIGURATION/SET_INTERFACE.
//                    A SET_CUR goes through at once whatever the delay: the dummy controller
//                    acknowledges its data before the camera has read it.
//   set NAME VALUE   the camera changes a control by itself (as its own auto mode does): the
//                    value is stored, clamped to the range, and announced on the status
//                    interrupt endpoint, which uvcvideo turns into a V4L2 control event
//   report PATH      write the counts and every control's value to PATH (written beside it,
//                    then renamed, so a reader never sees half a report)
//   zero             set every count to 0
//   disconnect       unplug: the host sees the device go; the program ends
// Control NAMEs (ranges as a common 1080p webcam has them; * = auto-update):
//   brightness contrast saturation sharpness gain (0..255), backlight (0..1),
//   power_line (0 off, 1 50 Hz, 2 60 Hz), wb_auto (0..1), wb_temperature* (2000..6500, manual
//   while wb_auto is 0), ae_mode (the camera's own bits: 1 manual, 8 aperture priority; 2 and 4
//   are not offered), ae_priority (0..1), exposure* (3..2047, in 100 us, manual while ae_mode
//   is 1), focus* (0..250 step 5, manual while focus_auto is 0), focus_auto (0..1).
//   A value written to exposure, focus or wb_temperature while its auto control is on is
//   ignored, as many cameras do. GET_INFO reports auto-update for the starred controls and
//   "disabled by the automatic mode" while their auto control is on.
// What the host makes of "set": uvcvideo polls the status endpoint only while some handle holds
// the node open (a packet sent meanwhile arrives at the next open, before anyone subscribed),
// and its event carries the new value. G_CTRL reads the camera again only for the starred
// controls: for the others uvcvideo answers from its cache, the old value, until that control
// is written through it; the flags in the events of an auto control's member are worked out
// from the cached auto control too.
// The report: one line of counts, then one "NAME=VALUE" line per control:
//   requests set_cur=N get_cur=N get_min=N get_max=N get_res=N get_len=N get_info=N
//   get_def=N streaming=N standard=N stalled=N ignored=N lost=N status=N status_dropped=N
// set_cur..get_def count the class requests on the control interface by kind (the error-code
// queries uvcvideo makes after a stall included); streaming counts probe/commit requests;
// standard the requests gadgetfs passed up (strings, SET_CONFIGURATION, SET_INTERFACE);
// ignored the manual writes dropped under an auto control; status the packets the host took.
//
// Lost data stages: the dummy controller acknowledges a SET_CUR's data before user space has
// read it, and a further request from the host makes gadgetfs drop that data. The camera runs
// SCHED_FIFO, reads each data stage at once, never waits for one for good, and counts a data
// stage it could not read as lost, with an ERROR line. With one guest CPU none is lost. With
// two, many are, most without a trace (the host's next request replaces the unread one before
// the camera sees it): compare set_cur with the writes made.
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <linux/usb/video.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { CAMERA = 1, PROCESSING = 2, OUTPUT = 3 };  // entity ids of the VideoControl chain
enum { CONTROL_INTERFACE = 0, STREAMING_INTERFACE = 1 };
#define STATUS_EP_SIZE 16
#define PROBE_SIZE 26  // the probe/commit controls of UVC 1.00

struct control {
  const char* name;
  uint8_t unit, selector, size, is_signed;
  int32_t min, max, res, def, cur;
  uint8_t info;          // GET_INFO, without the "disabled by the automatic mode" bit
  int master;            // the auto control that owns this value (an index), or -1
  uint32_t manual_when;  // 1 << master's value for each value under which this one is the user's
};

#define GET_SET (UVC_CONTROL_CAP_GET | UVC_CONTROL_CAP_SET)
#define AUTO_UPDATE (GET_SET | UVC_CONTROL_CAP_AUTOUPDATE)
static struct control controls[] = {
    {"brightness", PROCESSING, UVC_PU_BRIGHTNESS_CONTROL, 2, 1, 0, 255, 1, 128, 128, GET_SET, -1,
     0},
    {"contrast", PROCESSING, UVC_PU_CONTRAST_CONTROL, 2, 0, 0, 255, 1, 128, 128, GET_SET, -1, 0},
    {"saturation", PROCESSING, UVC_PU_SATURATION_CONTROL, 2, 0, 0, 255, 1, 128, 128, GET_SET, -1,
     0},
    {"sharpness", PROCESSING, UVC_PU_SHARPNESS_CONTROL, 2, 0, 0, 255, 1, 128, 128, GET_SET, -1, 0},
    {"gain", PROCESSING, UVC_PU_GAIN_CONTROL, 2, 0, 0, 255, 1, 0, 0, GET_SET, -1, 0},
    {"backlight", PROCESSING, UVC_PU_BACKLIGHT_COMPENSATION_CONTROL, 2, 0, 0, 1, 1, 0, 0, GET_SET,
     -1, 0},
    {"power_line", PROCESSING, UVC_PU_POWER_LINE_FREQUENCY_CONTROL, 1, 0, 0, 2, 1, 2, 2, GET_SET,
     -1, 0},
    {"wb_auto", PROCESSING, UVC_PU_WHITE_BALANCE_TEMPERATURE_AUTO_CONTROL, 1, 0, 0, 1, 1, 1, 1,
     GET_SET, -1, 0},
    {"wb_temperature", PROCESSING, UVC_PU_WHITE_BALANCE_TEMPERATURE_CONTROL, 2, 0, 2000, 6500, 1,
     4000, 4000, AUTO_UPDATE, 7, 1u << 0},
    // The auto-exposure mode is a bitmap: GET_RES holds the modes the camera offers.
    {"ae_mode", CAMERA, UVC_CT_AE_MODE_CONTROL, 1, 0, 1, 8, 0x09, 8, 8, GET_SET, -1, 0},
    {"ae_priority", CAMERA, UVC_CT_AE_PRIORITY_CONTROL, 1, 0, 0, 1, 1, 0, 0, GET_SET, -1, 0},
    {"exposure", CAMERA, UVC_CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, 4, 0, 3, 2047, 1, 250, 250,
     AUTO_UPDATE, 9, (1u << 1) | (1u << 4)},
    {"focus", CAMERA, UVC_CT_FOCUS_ABSOLUTE_CONTROL, 2, 0, 0, 250, 5, 0, 0, AUTO_UPDATE, 13,
     1u << 0},
    {"focus_auto", CAMERA, UVC_CT_FOCUS_AUTO_CONTROL, 1, 0, 0, 1, 1, 1, 1, GET_SET, -1, 0},
};
#define CONTROL_COUNT (sizeof controls / sizeof controls[0])
static const int ae_mode_index = 9;

// ---- the state shared with the status thread ----

static struct {
  long kind[8];  // set_cur, then get_cur .. get_def, by request code
  long streaming, standard, stalled, ignored, lost, status, status_dropped;
} counts;
static const char* const kind_names[8] = {"set_cur", "get_cur", "get_min",  "get_max",
                                          "get_res", "get_len", "get_info", "get_def"};

static pthread_mutex_t status_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t status_wake = PTHREAD_COND_INITIALIZER;
static uint8_t status_queue[16][STATUS_EP_SIZE];
static size_t status_length[16];
static unsigned status_head, status_pending;
static int status_fd = -1, status_stopping;
static volatile sig_atomic_t status_thread_done, stop_requested;

static int ep0 = -1, verbose;
static const char* gadget_dir = "/dev/gadget";
static long delay_ms;
static struct timespec started;
static uint8_t error_code;  // the request error code control: why the last request stalled
static uint8_t probe[PROBE_SIZE], commit[PROBE_SIZE], probe_default[PROBE_SIZE];

static double seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)(now.tv_sec - started.tv_sec) + (double)(now.tv_nsec - started.tv_nsec) / 1e9;
}

static void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "webcam: %.3f ", seconds());
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
}

static void sleep_ms(long ms) {
  struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// ---- descriptors ----

static uint8_t* put16(uint8_t* p, unsigned v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  return p + 2;
}
static uint8_t* put32(uint8_t* p, uint32_t v) {
  return put16(put16(p, v & 0xffff), v >> 16);
}
static uint8_t* bytes(uint8_t* p, const uint8_t* from, size_t n) {
  memcpy(p, from, n);
  return p + n;
}

// The whole configuration at full or high speed: an interface association over VideoControl
// (camera terminal -> processing unit -> output terminal, a status interrupt endpoint) and
// VideoStreaming (one YUY2 640x480 format and frame, a bulk endpoint that never streams).
static size_t configuration(uint8_t* out, int high_speed, uint8_t status_ep) {
  // Camera terminal: AE mode, AE priority, exposure time absolute, focus absolute (bits 1, 2,
  // 3, 5), focus auto (bit 17). Processing unit: brightness, contrast, saturation,
  // sharpness, white balance temperature (bits 0, 1, 3, 4, 6), backlight, gain, power line
  // frequency, white balance temperature auto (bits 8, 9, 10, 12).
  static const uint8_t camera_bits[3] = {0x2e, 0x00, 0x02}, processing_bits[2] = {0x5b, 0x17};
  static const uint8_t yuy2[16] = {'Y',  'U',  'Y',  '2',  0x00, 0x00, 0x10, 0x00,
                                   0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
  uint8_t* p = out;
  const uint8_t config[] = {9, USB_DT_CONFIG, 0, 0, 2, 1, 0, USB_CONFIG_ATT_ONE, 250};
  p = bytes(p, config, sizeof config);
  const uint8_t iad[] = {
      8, USB_DT_INTERFACE_ASSOCIATION, 0, 2, USB_CLASS_VIDEO, UVC_SC_VIDEO_INTERFACE_COLLECTION, 0,
      0};
  p = bytes(p, iad, sizeof iad);
  const uint8_t vc[] = {
      9, USB_DT_INTERFACE, CONTROL_INTERFACE, 0, 1, USB_CLASS_VIDEO, UVC_SC_VIDEOCONTROL, 0, 0};
  p = bytes(p, vc, sizeof vc);
  *p++ = 13, *p++ = USB_DT_CS_INTERFACE, *p++ = UVC_VC_HEADER;
  p = put16(p, 0x0100);
  p = put16(p, 13 + 18 + 11 + 9);
  p = put32(p, 48000000);
  *p++ = 1, *p++ = STREAMING_INTERFACE;
  *p++ = 18, *p++ = USB_DT_CS_INTERFACE, *p++ = UVC_VC_INPUT_TERMINAL, *p++ = CAMERA;
  p = put16(p, UVC_ITT_CAMERA);
  *p++ = 0, *p++ = 0;
  p = put16(put16(put16(p, 0), 0), 0);
  *p++ = 3;
  p = bytes(p, camera_bits, 3);
  *p++ = 11, *p++ = USB_DT_CS_INTERFACE, *p++ = UVC_VC_PROCESSING_UNIT, *p++ = PROCESSING;
  *p++ = CAMERA;
  p = put16(p, 0);
  *p++ = 2;
  p = bytes(p, processing_bits, 2);
  *p++ = 0;
  *p++ = 9, *p++ = USB_DT_CS_INTERFACE, *p++ = UVC_VC_OUTPUT_TERMINAL, *p++ = OUTPUT;
  p = put16(p, UVC_TT_STREAMING);
  *p++ = 0, *p++ = PROCESSING, *p++ = 0;
  *p++ = 7, *p++ = USB_DT_ENDPOINT, *p++ = status_ep, *p++ = USB_ENDPOINT_XFER_INT;
  p = put16(p, STATUS_EP_SIZE);
  *p++ = high_speed ? 7 : 8;  // 8 ms either way
  *p++ = 5, *p++ = USB_DT_CS_ENDPOINT, *p++ = UVC_EP_INTERRUPT;
  p = put16(p, STATUS_EP_SIZE);
  const uint8_t vs[] = {
      9, USB_DT_INTERFACE, STREAMING_INTERFACE, 0, 1, USB_CLASS_VIDEO, UVC_SC_VIDEOSTREAMING, 0, 0};
  p = bytes(p, vs, sizeof vs);
  *p++ = 14, *p++ = USB_DT_CS_INTERFACE, *p++ = UVC_VS_INPUT_HEADER, *p++ = 1;
  p = put16(p, 14 + 27 + 30);
  *p++ = USB_DIR_IN | 1, *p++ = 0, *p++ = OUTPUT, *p++ = 0, *p++ = 0, *p++ = 0, *p++ = 1, *p++ = 0;
  *p++ = 27, *p++ = USB_DT_CS_INTERFACE, *p++ = UVC_VS_FORMAT_UNCOMPRESSED, *p++ = 1, *p++ = 1;
  p = bytes(p, yuy2, 16);
  *p++ = 16, *p++ = 1, *p++ = 0, *p++ = 0, *p++ = 0, *p++ = 0;
  *p++ = 30, *p++ = USB_DT_CS_INTERFACE, *p++ = UVC_VS_FRAME_UNCOMPRESSED, *p++ = 1, *p++ = 0;
  p = put16(put16(p, 640), 480);
  p = put32(put32(put32(p, 640 * 480 * 16 * 5), 640 * 480 * 16 * 30), 640 * 480 * 2);
  p = put32(p, 333333);
  *p++ = 1;
  p = put32(p, 333333);
  *p++ = 7, *p++ = USB_DT_ENDPOINT, *p++ = USB_DIR_IN | 1, *p++ = USB_ENDPOINT_XFER_BULK;
  p = put16(p, high_speed ? 512 : 64);
  *p++ = 0;
  put16(out + 2, (unsigned)(p - out));
  return (size_t)(p - out);
}

// gadgetfs takes tag 0, the full-speed configuration, the high-speed one, then the device.
static int configure_device(uint8_t status_ep) {
  uint8_t buffer[1024];
  uint8_t* p = buffer + 4;
  memset(buffer, 0, 4);
  p += configuration(p, 0, status_ep);
  p += configuration(p, 1, status_ep);
  // Miscellaneous class with interface associations; an id that no quirk in uvcvideo matches.
  const uint8_t device[18] = {18,   USB_DT_DEVICE, 0x00, 0x02, 0xef, 0x02, 0x01, 64, 0x09,
                              0x12, 0x01,          0x00, 0x00, 0x01, 1,    2,    0,  1};
  p = bytes(p, device, sizeof device);
  return write(ep0, buffer, (size_t)(p - buffer)) == p - buffer ? 0 : -1;
}

// ---- values ----

static int32_t decode(const struct control* c, const uint8_t* data) {
  uint32_t v = 0;
  for (int i = c->size - 1; i >= 0; --i) v = (v << 8) | data[i];
  if (c->is_signed && c->size < 4 && (v & (1u << (8 * c->size - 1)))) v |= ~0u << (8 * c->size);
  return (int32_t)v;
}

static void encode(const struct control* c, int32_t value, uint8_t* data) {
  for (int i = 0; i < c->size; ++i) data[i] = (uint8_t)((uint32_t)value >> (8 * i));
}

static int under_auto(const struct control* c) {
  return c->master >= 0 && !((1u << controls[c->master].cur) & c->manual_when);
}

static int32_t clamp_value(const struct control* c, int32_t value) {
  if (c == &controls[ae_mode_index])  // one offered mode bit, or the value stays
    return (value & c->res) != 0 && (value & (value - 1)) == 0 ? value : c->cur;
  return value < c->min ? c->min : value > c->max ? c->max : value;
}

static struct control* find_control(unsigned unit, unsigned selector) {
  for (size_t i = 0; i < CONTROL_COUNT; ++i)
    if (controls[i].unit == unit && controls[i].selector == selector) return &controls[i];
  return NULL;
}

static struct control* control_named(const char* name) {
  for (size_t i = 0; i < CONTROL_COUNT; ++i)
    if (strcmp(controls[i].name, name) == 0) return &controls[i];
  return NULL;
}

static void default_probe(void) {
  uint8_t* p = probe_default;
  memset(p, 0, PROBE_SIZE);
  p[2] = 1, p[3] = 1;  // format 1, frame 1
  put32(p + 4, 333333);
  put32(p + 18, 640 * 480 * 2);
  put32(p + 22, 512);
  memcpy(probe, probe_default, PROBE_SIZE);
  memcpy(commit, probe_default, PROBE_SIZE);
}

// ---- the status interrupt endpoint ----

static void* status_main(void* unused) {
  (void)unused;
  pthread_mutex_lock(&status_lock);
  for (;;) {
    while (!status_stopping && (status_pending == 0 || status_fd < 0))
      pthread_cond_wait(&status_wake, &status_lock);
    if (status_stopping) break;
    uint8_t packet[STATUS_EP_SIZE];
    size_t length = status_length[status_head];
    memcpy(packet, status_queue[status_head], length);
    int fd = status_fd;
    pthread_mutex_unlock(&status_lock);
    // Blocks until the host takes it: uvcvideo polls while its node is open.
    ssize_t written = write(fd, packet, length);
    pthread_mutex_lock(&status_lock);
    if (written == (ssize_t)length) {
      ++counts.status;
    } else {
      ++counts.status_dropped;
      if (status_stopping)
        say("a status packet was still waiting at the unplug");
      else
        say("ERROR: a status packet was not taken (%s)", strerror(errno));
    }
    status_head = (status_head + 1) % 16;
    --status_pending;
  }
  pthread_mutex_unlock(&status_lock);
  status_thread_done = 1;
  return NULL;
}

static void announce(const struct control* c) {
  pthread_mutex_lock(&status_lock);
  if (status_pending == 16) {
    ++counts.status_dropped;
    say("ERROR: the status queue is full; %s not announced", c->name);
  } else {
    uint8_t* packet = status_queue[(status_head + status_pending) % 16];
    // Control interface, originator, control change, selector, value change, the value.
    packet[0] = UVC_STATUS_TYPE_CONTROL, packet[1] = c->unit, packet[2] = 0;
    packet[3] = c->selector, packet[4] = 0;
    encode(c, c->cur, packet + 5);
    status_length[(status_head + status_pending) % 16] = 5u + c->size;
    ++status_pending;
    pthread_cond_signal(&status_wake);
  }
  pthread_mutex_unlock(&status_lock);
}

// The interrupt IN endpoint of that number ("ep5in-int" on the dummy controller).
static int find_status_endpoint(char* path, size_t size, unsigned number) {
  snprintf(path, size, "%s/ep%uin-int", gadget_dir, number);
  return access(path, F_OK);
}

static void enable_status_endpoint(const char* path, uint8_t address) {
  if (status_fd >= 0) return;
  uint8_t config[4 + 2 * USB_DT_ENDPOINT_SIZE] = {1, 0, 0, 0};
  for (int high_speed = 0; high_speed < 2; ++high_speed) {
    uint8_t* d = config + 4 + high_speed * USB_DT_ENDPOINT_SIZE;
    d[0] = USB_DT_ENDPOINT_SIZE, d[1] = USB_DT_ENDPOINT, d[2] = address;
    d[3] = USB_ENDPOINT_XFER_INT;
    put16(d + 4, STATUS_EP_SIZE);
    d[6] = high_speed ? 7 : 8;
  }
  int fd = open(path, O_RDWR);
  if (fd < 0 || write(fd, config, sizeof config) != (ssize_t)sizeof config) {
    say("ERROR: cannot enable the status endpoint %s: %s", path, strerror(errno));
    if (fd >= 0) close(fd);
    return;
  }
  pthread_mutex_lock(&status_lock);
  status_fd = fd;
  pthread_cond_signal(&status_wake);
  pthread_mutex_unlock(&status_lock);
}

// A write blocked on the endpoint ends only by a signal; one sent just before the write began
// would be missed, so the signal is repeated until the thread has left.
static void stop_status_thread(pthread_t thread) {
  pthread_mutex_lock(&status_lock);
  status_stopping = 1;
  pthread_cond_signal(&status_wake);
  pthread_mutex_unlock(&status_lock);
  for (int i = 0; i < 200 && !status_thread_done; ++i) {
    pthread_kill(thread, SIGUSR1);
    sleep_ms(5);
  }
  pthread_join(thread, NULL);
  if (status_fd >= 0) close(status_fd);
  status_fd = -1;
}

// ---- endpoint 0 ----

// The host waits for this answer, and cannot send another request meanwhile: endpoint 0 takes
// one transfer at a time.
static void serve_delay(void) {
  if (delay_ms > 0) sleep_ms(delay_ms);
}

static void reply(const struct usb_ctrlrequest* setup, const void* data, size_t length) {
  serve_delay();
  if (length > setup->wLength) length = setup->wLength;
  if (write(ep0, data, length) != (ssize_t)length) {
    ++counts.lost;
    say("ERROR: the answer to request 0x%02x went nowhere: %s", setup->bRequest, strerror(errno));
  }
}

// A stall: gadgetfs halts endpoint 0 when an IN request's data stage is read.
static void stall(const struct usb_ctrlrequest* setup, uint8_t why) {
  uint8_t ignored;
  serve_delay();
  error_code = why;
  ++counts.stalled;
  if (setup->bRequestType & USB_DIR_IN)
    (void)!read(ep0, &ignored, 1);
  else
    (void)!write(ep0, &ignored, 0);
  if (verbose) say("stall 0x%02x 0x%04x 0x%04x", setup->bRequest, setup->wValue, setup->wIndex);
}

static void acknowledge(void) {
  serve_delay();
  (void)!read(ep0, NULL, 0);
}

// A data stage sent to the camera. The controller acknowledged it already; it is read at once
// and a loss is counted, never waited on for good.
static int read_data(const struct usb_ctrlrequest* setup, uint8_t* data) {
  for (int waited = 0;;) {
    ssize_t n = read(ep0, data, setup->wLength);
    if (n == (ssize_t)setup->wLength) return 0;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && waited++ < 500) {
      sleep_ms(1);
      continue;
    }
    ++counts.lost;
    say("ERROR: lost the data stage of request 0x%02x 0x%04x 0x%04x: %s", setup->bRequest,
        setup->wValue, setup->wIndex, n < 0 ? strerror(errno) : "short");
    return -1;
  }
}

static void string_descriptor(const struct usb_ctrlrequest* setup) {
  static const char* const strings[] = {NULL, "camera_control", "Emulated 1080p Webcam"};
  unsigned index = setup->wValue & 0xff;
  uint8_t d[64] = {4, USB_DT_STRING, 0x09, 0x04};  // string 0: US English
  if (index >= sizeof strings / sizeof strings[0]) return stall(setup, 0);
  if (index > 0) {
    size_t n = strlen(strings[index]);
    d[0] = (uint8_t)(2 + 2 * n);
    for (size_t i = 0; i < n; ++i) d[2 + 2 * i] = (uint8_t)strings[index][i], d[3 + 2 * i] = 0;
  }
  reply(setup, d, d[0]);
}

static void standard_request(const struct usb_ctrlrequest* setup, const char* status_path,
                             uint8_t status_ep) {
  ++counts.standard;
  switch (setup->bRequest) {
    case USB_REQ_GET_DESCRIPTOR:
      if ((setup->wValue >> 8) == USB_DT_STRING) return string_descriptor(setup);
      return stall(setup, 0);
    case USB_REQ_SET_CONFIGURATION:
      // The status endpoint is ready before the host may use the configuration.
      if (setup->wValue == 1) enable_status_endpoint(status_path, status_ep);
      say("configured %u", setup->wValue);
      return acknowledge();
    case USB_REQ_SET_INTERFACE:
      if (setup->wValue != 0) return stall(setup, 0);  // there is no streaming alternate
      if (verbose) say("interface %u alternate 0", setup->wIndex);
      return acknowledge();
    case USB_REQ_GET_INTERFACE: {
      const uint8_t zero = 0;
      return reply(setup, &zero, 1);
    }
    default:
      return stall(setup, 0);
  }
}

static void count_kind(uint8_t request) {
  if (request == UVC_SET_CUR) ++counts.kind[0];
  if (request >= UVC_GET_CUR && request <= UVC_GET_DEF) ++counts.kind[request - UVC_GET_CUR + 1];
}

static void streaming_request(const struct usb_ctrlrequest* setup) {
  unsigned selector = setup->wValue >> 8;
  uint8_t data[64];
  ++counts.streaming;
  if (selector != UVC_VS_PROBE_CONTROL && selector != UVC_VS_COMMIT_CONTROL) {
    if (setup->bRequest == UVC_SET_CUR) return (void)read_data(setup, data);
    return stall(setup, 6);  // invalid control
  }
  uint8_t* value = selector == UVC_VS_PROBE_CONTROL ? probe : commit;
  switch (setup->bRequest) {
    case UVC_SET_CUR:
      if (setup->wLength > sizeof data || read_data(setup, data) != 0) return;
      // One format and frame: whatever the host asks for, those stay.
      memcpy(value, data, setup->wLength < PROBE_SIZE ? setup->wLength : PROBE_SIZE);
      value[2] = 1, value[3] = 1;
      return;
    case UVC_GET_CUR:
      return reply(setup, value, PROBE_SIZE);
    case UVC_GET_MIN:
    case UVC_GET_MAX:
    case UVC_GET_DEF:
      return reply(setup, probe_default, PROBE_SIZE);
    case UVC_GET_INFO: {
      const uint8_t info = GET_SET;
      return reply(setup, &info, 1);
    }
    case UVC_GET_LEN: {
      uint8_t length[2];
      put16(length, PROBE_SIZE);
      return reply(setup, length, 2);
    }
    default:
      return stall(setup, 7);  // invalid request
  }
}

static void control_request(const struct usb_ctrlrequest* setup) {
  unsigned unit = setup->wIndex >> 8, selector = setup->wValue >> 8;
  uint8_t data[8] = {0};
  count_kind(setup->bRequest);
  if (unit == 0 && selector == UVC_VC_REQUEST_ERROR_CODE_CONTROL &&
      (setup->bRequest == UVC_GET_CUR || setup->bRequest == UVC_GET_INFO)) {
    const uint8_t answer = setup->bRequest == UVC_GET_CUR ? error_code : UVC_CONTROL_CAP_GET;
    return reply(setup, &answer, 1);
  }
  struct control* c = find_control(unit, selector);
  if (setup->bRequest == UVC_SET_CUR) {
    if (setup->wLength > sizeof data || read_data(setup, data) != 0) return;
    if (c == NULL || setup->wLength != c->size) {
      error_code = c == NULL ? 6 : 7;  // the host is told at its next error-code query only
      return;
    }
    int32_t value = decode(c, data);
    if (under_auto(c)) {
      ++counts.ignored;
      if (verbose) say("set %s %d ignored: its auto control is on", c->name, value);
    } else {
      c->cur = clamp_value(c, value);
      if (verbose) say("set %s %d", c->name, c->cur);
    }
    error_code = 0;
    return;
  }
  if (c == NULL) return stall(setup, unit == PROCESSING || unit == CAMERA ? 6 : 5);
  int32_t value;
  switch (setup->bRequest) {
    case UVC_GET_CUR:
      value = c->cur;
      break;
    case UVC_GET_MIN:
      value = c->min;
      break;
    case UVC_GET_MAX:
      value = c->max;
      break;
    case UVC_GET_RES:
      value = c->res;
      break;
    case UVC_GET_DEF:
      value = c->def;
      break;
    case UVC_GET_INFO:
      data[0] = (uint8_t)(c->info | (under_auto(c) ? UVC_CONTROL_CAP_DISABLED : 0));
      error_code = 0;
      return reply(setup, data, 1);
    case UVC_GET_LEN:
      put16(data, c->size);
      error_code = 0;
      return reply(setup, data, 2);
    default:
      return stall(setup, 7);
  }
  encode(c, value, data);
  if (verbose) say("get 0x%02x %s %d", setup->bRequest, c->name, value);
  error_code = 0;
  reply(setup, data, c->size);
}

static void on_setup(const struct usb_ctrlrequest* setup, const char* status_path,
                     uint8_t status_ep) {
  if ((setup->bRequestType & USB_TYPE_MASK) == USB_TYPE_STANDARD)
    return standard_request(setup, status_path, status_ep);
  if ((setup->bRequestType & (USB_TYPE_MASK | USB_RECIP_MASK)) !=
      (USB_TYPE_CLASS | USB_RECIP_INTERFACE)) {
    uint8_t data[64];
    if (!(setup->bRequestType & USB_DIR_IN) && setup->wLength > 0 && setup->wLength <= sizeof data)
      return (void)read_data(setup, data);
    return stall(setup, 7);
  }
  if ((setup->wIndex & 0xff) == STREAMING_INTERFACE) return streaming_request(setup);
  control_request(setup);
}

// ---- commands ----

static void print_report(FILE* out) {
  pthread_mutex_lock(&status_lock);
  fprintf(out, "requests");
  for (int i = 0; i < 8; ++i) fprintf(out, " %s=%ld", kind_names[i], counts.kind[i]);
  fprintf(out,
          " streaming=%ld standard=%ld stalled=%ld ignored=%ld lost=%ld status=%ld "
          "status_dropped=%ld\n",
          counts.streaming, counts.standard, counts.stalled, counts.ignored, counts.lost,
          counts.status, counts.status_dropped);
  pthread_mutex_unlock(&status_lock);
  for (size_t i = 0; i < CONTROL_COUNT; ++i)
    fprintf(out, "%s=%d\n", controls[i].name, controls[i].cur);
}

static void write_report(const char* path) {
  char temporary[4096];
  snprintf(temporary, sizeof temporary, "%s.part", path);
  FILE* out = fopen(temporary, "w");
  if (out == NULL) return say("ERROR: cannot write %s: %s", temporary, strerror(errno));
  print_report(out);
  if (fclose(out) != 0 || rename(temporary, path) != 0)
    say("ERROR: cannot write %s: %s", path, strerror(errno));
}

// Returns 1 when the camera is to be unplugged.
static int command(char* line) {
  char name[64], path[4000];
  long number;
  int value;
  if (sscanf(line, "delay %ld", &number) == 1 && number >= 0) {
    delay_ms = number;
    say("delay %ld ms", delay_ms);
  } else if (sscanf(line, "set %63s %d", name, &value) == 2 && control_named(name) != NULL) {
    struct control* c = control_named(name);
    c->cur = clamp_value(c, value);
    say("the camera sets %s to %d", c->name, c->cur);
    announce(c);
  } else if (sscanf(line, "report %3999s", path) == 1) {
    write_report(path);
  } else if (strcmp(line, "zero") == 0) {
    pthread_mutex_lock(&status_lock);
    memset(&counts, 0, sizeof counts);
    pthread_mutex_unlock(&status_lock);
  } else if (strcmp(line, "disconnect") == 0) {
    return 1;
  } else if (line[0] != '\0') {
    say("ERROR: unknown command '%s'", line);
  }
  return 0;
}

// Returns 1 when a command asked for the unplug.
static int read_commands(int fd, char* buffer, size_t* used, size_t size) {
  ssize_t n = read(fd, buffer + *used, size - 1 - *used);
  if (n <= 0) return 0;
  *used += (size_t)n;
  buffer[*used] = '\0';
  char* line = buffer;
  char* end;
  int unplug = 0;
  while (!unplug && (end = strchr(line, '\n')) != NULL) {
    *end = '\0';
    unplug = command(line);
    line = end + 1;
  }
  *used = unplug ? 0 : strlen(line);
  memmove(buffer, line, *used + 1);
  if (*used == size - 1) *used = 0;  // a line longer than any command: drop it
  return unplug;
}

// Handles what endpoint 0 has to say. Returns the number of events handled, or -1 when
// endpoint 0 failed (the caller must not spin on it: at real-time priority the spin would
// starve the host).
static int serve_ep0(const char* status_path, uint8_t status_ep) {
  struct usb_gadgetfs_event events[5];
  ssize_t n = read(ep0, events, sizeof events);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR || errno == EIDRM) return 0;
    say("ERROR: reading endpoint 0: %s", strerror(errno));
    return -1;
  }
  int handled = 0;
  for (const struct usb_gadgetfs_event* e = events; (const char*)(e + 1) <= (const char*)events + n;
       ++e, ++handled) {
    switch (e->type) {
      case GADGETFS_CONNECT:
        say("connected at %s speed", e->u.speed == USB_SPEED_HIGH ? "high" : "full");
        break;
      case GADGETFS_DISCONNECT:
        say("the host disconnected");
        break;
      case GADGETFS_SETUP:
        on_setup(&e->u.setup, status_path, status_ep);
        break;
      default:
        break;
    }
  }
  return handled;
}

static void on_signal(int number) {
  if (number != SIGUSR1) stop_requested = 1;
}

int main(int argc, char** argv) {
  const char* fifo = NULL;
  int option;
  clock_gettime(CLOCK_MONOTONIC, &started);
  while ((option = getopt(argc, argv, "c:d:g:v")) != -1) {
    switch (option) {
      case 'c':
        fifo = optarg;
        break;
      case 'd':
        delay_ms = atol(optarg);
        break;
      case 'g':
        gadget_dir = optarg;
        break;
      case 'v':
        verbose = 1;
        break;
      default:
        fprintf(stderr, "usage: webcam [-c FIFO] [-d MS] [-g DIR] [-v]\n");
        return 2;
    }
  }
  setvbuf(stderr, NULL, _IOLBF, 0);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_signal;  // no SA_RESTART: a blocked endpoint write must end
  sigaction(SIGUSR1, &action, NULL);
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);
  signal(SIGPIPE, SIG_IGN);
  default_probe();

  mkdir(gadget_dir, 0755);
  if (mount("gadgetfs", gadget_dir, "gadgetfs", 0, NULL) != 0 && errno != EBUSY) {
    say("ERROR: cannot mount gadgetfs on %s: %s", gadget_dir, strerror(errno));
    return 1;
  }
  char ep0_path[512] = "", status_path[512] = "";
  DIR* dir = opendir(gadget_dir);
  for (struct dirent* entry; dir != NULL && (entry = readdir(dir)) != NULL;)
    if (entry->d_name[0] != '.' && strncmp(entry->d_name, "ep", 2) != 0)
      snprintf(ep0_path, sizeof ep0_path, "%s/%s", gadget_dir, entry->d_name);
  if (dir != NULL) closedir(dir);
  ep0 = ep0_path[0] != '\0' ? open(ep0_path, O_RDWR | O_NONBLOCK) : -1;
  if (ep0 < 0) {
    say("ERROR: no device controller in %s: %s", gadget_dir, strerror(errno));
    return 1;
  }
  int commands = fifo != NULL ? open(fifo, O_RDWR | O_NONBLOCK) : -1;
  if (fifo != NULL && commands < 0) {
    say("ERROR: cannot open %s: %s", fifo, strerror(errno));
    return 1;
  }
  // A data stage is safe once read; nothing of lower priority may come between the host's
  // request and that read.
  struct sched_param priority = {.sched_priority = 10};
  if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
    say("warning: no real-time priority (%s): data stages may be lost", strerror(errno));
  // The status thread only writes packets; stop signals go to the main thread's wait.
  sigset_t stops, previous;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  pthread_t status_thread;
  pthread_create(&status_thread, NULL, status_main, NULL);
  pthread_sigmask(SIG_SETMASK, &previous, NULL);

  // The endpoint files appear once the descriptors are in; the dummy controller names its
  // interrupt endpoints after their numbers.
  const uint8_t status_ep = USB_DIR_IN | 5;
  if (configure_device(status_ep) != 0) {
    say("ERROR: gadgetfs refused the descriptors: %s", strerror(errno));
    return 1;
  }
  if (find_status_endpoint(status_path, sizeof status_path, status_ep & 0x0f) != 0)
    say("ERROR: the controller has no %s", status_path);
  say("bound to %s%s", ep0_path, delay_ms ? ", answering late" : "");
  serve_ep0(status_path, status_ep);  // gadgetfs passes requests up once ep0 has been read

  char buffer[4096];
  size_t used = 0;
  int unplug = 0;
  while (!unplug && !stop_requested) {
    struct pollfd fds[2] = {{ep0, POLLIN, 0}, {commands, POLLIN, 0}};
    if (poll(fds, commands >= 0 ? 2 : 1, -1) < 0) continue;
    if (fds[0].revents && serve_ep0(status_path, status_ep) < 0) sleep_ms(100);
    if (fds[1].revents & POLLIN) unplug = read_commands(commands, buffer, &used, sizeof buffer);
  }

  // Closing endpoint 0 with an answer still queued can hang the controller's teardown: the
  // host is served until it has been quiet for 50 ms (2 s at most).
  stop_status_thread(status_thread);
  for (int i = 0; i < 40; ++i) {
    struct pollfd quiet = {ep0, POLLIN, 0};
    if (poll(&quiet, 1, 50) == 0 || serve_ep0(status_path, status_ep) < 0) break;
  }
  say("disconnecting");
  print_report(stderr);
  close(ep0);
  return 0;
}
