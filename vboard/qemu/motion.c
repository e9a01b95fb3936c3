// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * Recorded motion played into the sensor: the machine's play properties, the
 * models' source of motion (board.h's motion hook) and the playback's part
 * of the saved machine. The recording is read by recording.c, a row ahead of
 * the samples, never whole.
 *
 * Playback belongs to the machine, so that every QMP client (scripts/board,
 * the front panel) plays the same way and a saved board goes on where it
 * was. Time 0 of a recording is the virtual clock at the play command, and
 * each sample takes the row at or before its own virtual time: playback
 * stands still while the machine is paused, and repeats exactly under
 * -icount. A tilt set by hand stops it (inputs.c); a recording played to
 * its end, not looping, leaves its last row as the board's tilt.
 */
#include "qemu/osdep.h"
#include "qapi/error.h"
#include "qapi/qapi-builtin-visit.h"
#include "qapi/visitor.h"
#include "qemu/error-report.h"
#include "qemu/timer.h"
#include "migration/vmstate.h"

#include "vboard.h"
#include "recording.h"

/* The machine whose recording the sensor's samples ask for (there is one). */
static VBoardMachineState *vboard_playing;

static uint64_t vboard_play_elapsed_ns(VBoardMachineState *s, uint64_t now_ns)
{
	return now_ns > (uint64_t)s->play_start_ns ? now_ns - s->play_start_ns : 0;
}

/* The models' source of motion: the recording at the sample's time. */
static bool vboard_motion(uint64_t at_ns, int32_t mg[3])
{
	VBoardMachineState *s = vboard_playing;

	if (!s || !s->recording)
		return false;
	recording_at(s->recording, vboard_play_elapsed_ns(s, at_ns), mg);
	return true;
}

static void vboard_play_release(VBoardMachineState *s)
{
	recording_close(s->recording);
	s->recording = NULL;
	g_strfreev(s->play_words);
	s->play_words = NULL;
}

void vboard_play_stop(VBoardMachineState *s)
{
	if (!s->recording)
		return;
	vboard_sync(s);
	vboard_play_release(s);
}

/*
 * After the board clock moved to now_ns: a recording, not looping, that has
 * played to its end leaves its last row as the tilt. Until then the samples
 * took that row anyway, so when this is noticed changes nothing they show.
 */
void vboard_play_sync(VBoardMachineState *s, uint64_t now_ns)
{
	int32_t mg[3];
	uint64_t t;

	if (!s->recording)
		return;
	t = vboard_play_elapsed_ns(s, now_ns);
	if (!recording_ended(s->recording, t))
		return;
	recording_at(s->recording, t, mg);
	vboard_play_release(s);
	bm_set_tilt(s->board, mg);
}

/* Opens the recording a play command names, checked whole; the playback
 * before it goes on when it is refused. */
static struct recording *vboard_play_open(char **words, struct recording_args *args, Error **errp)
{
	char why[RECORDING_ERROR_SIZE];
	struct recording *r;

	if (!recording_parse_args(g_strv_length(words), (const char *const *)words, args, why,
				  sizeof(why))) {
		error_setg(errp, "play: %s", why);
		return NULL;
	}
	if (!g_path_is_absolute(args->path)) {
		error_setg(errp,
			   "play: '%s': a recording by its absolute path (the machine's "
			   "working folder is not the caller's)",
			   args->path);
		return NULL;
	}
	r = recording_open(args->path, &args->format, args->loop, why, sizeof(why));
	if (!r)
		error_setg(errp, "play: %s", why);
	return r;
}

static bool vboard_play(VBoardMachineState *s, char **words, Error **errp)
{
	g_autofree struct recording_args *args = g_new(struct recording_args, 1);
	struct recording *r;

	if (g_strv_length(words) == 1 && !strcmp(words[0], "stop")) {
		vboard_play_stop(s);
		return true;
	}
	r = vboard_play_open(words, args, errp);
	if (!r)
		return false;
	vboard_play_stop(s);
	s->play_start_ns = vboard_sync(s);
	s->recording = r;
	s->play_words = g_strdupv(words);
	vboard_playing = s;
	bm_set_motion_hook(vboard_motion);
	vboard_update(s);
	return true;
}

/* --- properties --------------------------------------------------------- */

static void vboard_set_play(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	strList *list = NULL, *l;
	g_autoptr(GPtrArray) words = g_ptr_array_new_with_free_func(g_free);

	if (!visit_type_strList(v, name, &list, errp))
		return;
	for (l = list; l; l = l->next)
		g_ptr_array_add(words, g_strdup(l->value));
	g_ptr_array_add(words, NULL);
	qapi_free_strList(list);
	vboard_play(VBOARD_MACHINE(obj), (char **)words->pdata, errp);
}

static void vboard_get_play(Object *obj, Visitor *v, const char *name, void *opaque, Error **errp)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);
	strList *list = NULL;
	int i;

	vboard_sync(s);
	for (i = s->play_words ? g_strv_length(s->play_words) - 1 : -1; i >= 0; i--)
		QAPI_LIST_PREPEND(list, g_strdup(s->play_words[i]));
	visit_type_strList(v, name, &list, errp);
	qapi_free_strList(list);
}

static bool vboard_get_playing(Object *obj, Error **errp)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);

	vboard_sync(s);
	return s->recording;
}

/* Where the recording is now: its time in milliseconds (within the pass,
 * looping) and the line of the row the sensor takes; 0 when none plays. */
static void vboard_get_play_position(Object *obj, Visitor *v, const char *name, void *opaque,
				     Error **errp)
{
	VBoardMachineState *s = VBOARD_MACHINE(obj);
	uint64_t now_ns = vboard_sync(s);
	int64_t value = 0;

	if (s->recording) {
		uint64_t t = vboard_play_elapsed_ns(s, now_ns);
		uint64_t length = recording_length_ns(s->recording);
		int32_t mg[3];

		if (!strcmp(name, "play-line")) {
			recording_at(s->recording, t, mg);
			value = recording_line(s->recording);
		} else if (!strcmp(name, "play-length")) {
			value = length / SCALE_MS;
		} else {
			value = (length ? t % length : 0) / SCALE_MS;
		}
	}
	visit_type_int(v, name, &value, errp);
}

void vboard_class_add_play_properties(ObjectClass *oc)
{
	static const char *const positions[][2] = {
		{"play-position", "milliseconds into the recording playing (0: none)"},
		{"play-line", "the line of the recording's row the sensor takes now (0: none)"},
		{"play-length", "milliseconds the recording playing lasts (0: none)"},
	};
	unsigned i;

	object_class_property_add(oc, "play", "strList", vboard_get_play, vboard_set_play, NULL,
				  NULL);
	object_class_property_set_description(
		oc, "play",
		"a recording played into the sensor: [\"/abs/FILE.csv\", \"--loop\", "
		"\"--columns\", "
		"\"TIME,X,Y,Z\", \"--units\", \"mps2\"], or [\"stop\"]; reads the one playing "
		"([]: none)");
	object_class_property_add_bool(oc, "playing", vboard_get_playing, NULL);
	object_class_property_set_description(oc, "playing", "whether a recording plays");
	for (i = 0; i < ARRAY_SIZE(positions); i++) {
		object_class_property_add(oc, positions[i][0], "int", vboard_get_play_position,
					  NULL, NULL, NULL);
		object_class_property_set_description(oc, positions[i][0], positions[i][1]);
	}
}

/* --- saved with the machine --------------------------------------------- */

/* The play command's words, NUL-separated, and where the recording is. */
static int vboard_play_pre_save(void *opaque)
{
	VBoardMachineState *s = opaque;
	struct recording_cursor c;
	GString *words = g_string_new(NULL);
	int i;

	/* The board clock stands where vboard_play_needed() brought it. */
	for (i = 0; s->play_words[i]; i++)
		g_string_append_len(words, s->play_words[i], strlen(s->play_words[i]) + 1);
	g_free(s->play_saved_words);
	s->play_saved_len = words->len;
	s->play_saved_words = (uint8_t *)g_string_free(words, false);
	recording_get_cursor(s->recording, &c);
	s->play_cursor[0] = c.offset;
	s->play_cursor[1] = c.line;
	s->play_cursor[2] = c.pass;
	s->play_cursor[3] = c.t_ns;
	s->play_rows = recording_rows(s->recording);
	s->play_length_ns = recording_length_ns(s->recording);
	return 0;
}

/* The recording opened again, checked whole, and set where it was: the same
 * file, or the playback stays stopped with a warning. */
static int vboard_play_post_load(void *opaque, int version_id)
{
	VBoardMachineState *s = opaque;
	const struct recording_cursor c = {.offset = s->play_cursor[0],
					   .line = s->play_cursor[1],
					   .pass = s->play_cursor[2],
					   .t_ns = s->play_cursor[3]};
	g_autofree struct recording_args *args = g_new(struct recording_args, 1);
	g_autoptr(GPtrArray) words = g_ptr_array_new();
	char why[RECORDING_ERROR_SIZE] = "";
	Error *err = NULL;
	struct recording *r;
	uint32_t at;

	for (at = 0; at < s->play_saved_len; at += strlen((char *)s->play_saved_words + at) + 1)
		g_ptr_array_add(words, s->play_saved_words + at);
	if (!s->play_saved_len || s->play_saved_words[s->play_saved_len - 1]) {
		warn_report("vboard: a recording played when the board was saved, but its "
			    "play command did not come with it; it stays stopped");
		return 0;
	}
	g_ptr_array_add(words, NULL);
	r = vboard_play_open((char **)words->pdata, args, &err);
	if (r && (recording_rows(r) != s->play_rows || recording_length_ns(r) != s->play_length_ns))
		snprintf(why, sizeof(why), "it has changed since");
	else if (r)
		recording_set_cursor(r, &c, why, sizeof(why));
	if (!r || *why) {
		warn_report("vboard: the recording played when the board was saved stays "
			    "stopped: %s",
			    r ? why : error_get_pretty(err));
		error_free(err);
		recording_close(r);
		return 0;
	}
	s->recording = r;
	s->play_words = g_strdupv((char **)words->pdata);
	vboard_playing = s;
	bm_set_motion_hook(vboard_motion);
	return 0;
}

/* Whatever plays stops when a saved machine is loaded: the subsection, if
 * the saved one played, starts its recording again. */
void vboard_play_pre_load(VBoardMachineState *s)
{
	vboard_play_release(s);
	g_free(s->play_saved_words);
	s->play_saved_words = NULL;
	s->play_saved_len = 0;
}

/* Whether a recording plays now: one that has just ended is not saved. */
static bool vboard_play_needed(void *opaque)
{
	VBoardMachineState *s = opaque;

	vboard_sync(s);
	return s->recording;
}

const VMStateDescription vmstate_vboard_play = {
	.name = "vboard/play",
	.version_id = 1,
	.minimum_version_id = 1,
	.needed = vboard_play_needed,
	.pre_save = vboard_play_pre_save,
	.post_load = vboard_play_post_load,
	.fields =
		(VMStateField[]){VMSTATE_INT64(play_start_ns, VBoardMachineState),
				 VMSTATE_UINT32(play_saved_len, VBoardMachineState),
				 VMSTATE_VBUFFER_ALLOC_UINT32(play_saved_words, VBoardMachineState,
							      1, NULL, play_saved_len),
				 VMSTATE_UINT64_ARRAY(play_cursor, VBoardMachineState, 4),
				 VMSTATE_UINT64(play_rows, VBoardMachineState),
				 VMSTATE_UINT64(play_length_ns, VBoardMachineState),
				 VMSTATE_END_OF_LIST()},
};
