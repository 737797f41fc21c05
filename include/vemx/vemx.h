/* All of vemx's public interface. */
#ifndef VEMX_H
#define VEMX_H

#include "vemx_frame.h"
#include "vemx_log.h"
#include "vemx_mediaqueue.h"
#include "qvmediatimer.h"
#include "vemx_audio.h"
#include "vemx_mediaencoder.h"
#include "vemx_mp4filewriter.h"
#include "qvmp4fileplayer.h"
#include "vemx_quadmapping.h"
#include "vemx_ccvt.h"
#include "vemx_procamp.h"
#include "vemx_tsdemux.h"
#include "vemx_tsmux.h"
#include "vemx_devinfo.h"
#include "vemx_devcon.h"
#include "vemx_devenum.h"

#endif
