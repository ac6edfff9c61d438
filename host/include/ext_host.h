/* ext_host.h: the one host header a granular external includes.
 *
 * Declares the records and calls of our host (the runtime in host/src implements them): class
 * registration, messages and atoms, outlets, symbols, the console, memory, the signal chain and the
 * buffer~ objects that hold envelopes. Every host call an external makes goes through this header,
 * so another host (Pure Data) can be mapped onto the same names without touching the externals.
 *
 * Threads: registration and creation run on the host's message thread; perform routines run on its
 * audio thread. Calls marked "audio-safe" may be made from a perform routine: they neither allocate
 * nor lock. */
#ifndef EXT_HOST_H
#define EXT_HOST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define EXT_EXPORT __attribute__((visibility("default")))
#else
#define EXT_EXPORT
#endif

/* ---- basic types ------------------------------------------------------------------------------ */

typedef intptr_t t_int;       /* one word of a perform routine's argument vector */
typedef float t_sample;       /* one sample of a signal vector */
typedef int32_t t_atom_long;  /* the host's "long": 32 bits, as on the host these externals came from */

typedef void *(*method)();    /* a handler, cast to the signature its type codes imply (below) */
typedef t_int *(*t_perfroutine)(t_int *w);

/* Argument type codes of setup() and addmess(). */
enum {
    A_NOTHING = 0, /* ends a type list */
    A_LONG = 1,    /* one t_atom_long */
    A_FLOAT = 2,   /* one double */
    A_SYM = 3,     /* one t_symbol * */
    A_GIMME = 8,   /* typed list: (t_symbol *selector, long argc, t_atom *argv) */
    A_CANT = 9     /* private: called by the host itself ("dsp", "assist") */
};

/* ---- symbols and atoms ------------------------------------------------------------------------ */

struct object;

/* One symbol per name, for the life of the process. s_thing is the object bound to the name (a
 * buffer~ of that name, or none); read it with symbol_thing(), since the host rebinds it while
 * audio runs. */
typedef struct symbol {
    const char *s_name;
    struct object *s_thing;
} t_symbol;

typedef union word {
    t_atom_long w_long;
    float w_float;
    t_symbol *w_sym;
} t_word;

typedef struct atom {
    short a_type; /* A_LONG, A_FLOAT or A_SYM */
    t_word a_w;
} t_atom;

/* ---- objects ---------------------------------------------------------------------------------- */

typedef struct messlist t_messlist; /* a class, opaque to externals */

/* The host's object header: first member of every object record. */
typedef struct object {
    t_messlist *o_class; /* the object's class (see object_classname) */
    void *o_host;        /* the host's own per-object record */
} t_object;

/* The signal-object header: first member of every signal external's record. */
typedef struct pxobject {
    t_object z_ob;
    int32_t z_in;       /* inlet of the current float or bang: k - 1 for inlet k (1 = leftmost) */
    int32_t z_disabled; /* non-zero while the host has disabled the object; read with z_isdisabled */
    void *z_host;       /* the host's signal record for this object */
} t_pxobject;

/* One signal of the "dsp" call: vector size and sample vector. */
typedef struct signal {
    int32_t s_n;
    t_sample *s_vec;
    float s_sr;
} t_signal;

/* ---- class registration (message thread, from main) ------------------------------------------ */

/* Registers the class named after the library being loaded. creator is called with the type list
 * given after `type` (for A_GIMME: (t_symbol *class_name, long argc, t_atom *argv)) and returns the
 * new object or NULL; destroyer is called with the object. size is the object record's size. */
void setup(t_messlist **class_handle, method creator, method destroyer, long size, method menu,
           short type, ...);

/* Registers a handler for a selector; the type codes follow, ended by A_NOTHING. Supported forms:
 * none -> f(x); A_LONG -> f(x, t_atom_long); A_FLOAT -> f(x, double); A_SYM -> f(x, t_symbol *);
 * A_GIMME -> f(x, t_symbol *sel, long argc, t_atom *argv); A_CANT -> called by the host only:
 * "dsp" as f(x, t_signal **sp, short *count), "assist" as f(x, void *box, long kind, long index,
 * char *text). */
void addmess(method f, const char *selector, short type, ...);
void addbang(method f);  /* f(x): a bang at any inlet */
void addfloat(method f); /* f(x, double): a float at any inlet; the inlet is in z_in */
void z_add_signalmethod(void);

/* ---- objects, inlets and outlets (message thread) -------------------------------------------- */

void *newobject(t_messlist *class_handle); /* a zero-filled record with its header set; or NULL */
void z_dsp_setup(t_pxobject *x, long signal_inlets);
void z_dsp_free(t_pxobject *x); /* detaches x from signal processing; no perform call after it */

/* A new outlet, placed left of the outlets made before. type NULL: lists; "signal": a signal. */
void *outlet_new(void *x, const char *type);
/* Sends a plain list out of an outlet (selector NULL). Audio-safe. */
void *outlet_list(void *outlet, t_symbol *selector, short argc, t_atom *argv);

t_symbol *gensym(const char *name); /* thread-safe; not audio-safe (it may allocate) */
t_symbol *object_classname(void *x); /* the class name symbol of any object. Audio-safe */
t_object *symbol_thing(t_symbol *s); /* the object bound to s, or NULL. Audio-safe */
int32_t z_isdisabled(t_pxobject *x); /* the disabled word. Audio-safe */

/* ---- console (message thread; never from a perform routine) ---------------------------------- */

void post(const char *fmt, ...);
void error(const char *fmt, ...);

/* ---- memory (message thread) ------------------------------------------------------------------ */

char *sysmem_newptr(long size); /* a block or NULL */
void sysmem_freeptr(void *block);
char *t_getbytes(long size); /* a block or NULL */
void t_freebytes(void *block, long size);

/* ---- signal processing ------------------------------------------------------------------------ */

float sys_getsr(void); /* the host's sample rate, Hz */
/* Installs a perform routine from inside a "dsp" handler: it runs once per vector with the n words
 * at positions 1 to n of its argument vector, and returns the position after its last word. */
void dsp_add(t_perfroutine f, int n, ...);
void dsp_addv(t_perfroutine f, int n, void **words);

/* ---- buffer~ objects -------------------------------------------------------------------------- */
/* A buffer~ is a named block of 32-bit float samples owned by the host; its class name is the
 * symbol "buffer~" and it is bound to its name's symbol. The host changes buffers only between
 * signal vectors, so within one vector these reads are stable. All are audio-safe. */

int32_t buffer_valid(t_object *b);    /* non-zero when the buffer may be bound */
float *buffer_samples(t_object *b);   /* first sample (frame-major, channels interleaved) */
int32_t buffer_frames(t_object *b);   /* frame count */
int32_t buffer_inuse(t_object *b);    /* non-zero while the buffer is being changed: do not bind */

/* ---- help texts ------------------------------------------------------------------------------- */

enum { ASSIST_INLET = 1, ASSIST_OUTLET = 2 };
#define ASSIST_MAX 512 /* size of the text buffer handed to "assist" */

#ifdef __cplusplus
}

/* A handler as the host's generic `method`, for setup() and addmess(). The detour through
 * void (*)() is the function-pointer conversion C++ allows without a warning; the host calls the
 * handler back with the signature its type codes imply. */
template <class F>
inline method as_method(F *f) noexcept {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}
#endif

#endif /* EXT_HOST_H */
