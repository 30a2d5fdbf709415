/* The floor of an Orvask run on Linux: the same I/O as one run of the program, done as
 * directly as C allows, so that bench/floor_bench.sh can say how far Orvask is from the
 * least any program can do for the same work. It reads the dpkg status file once, stats
 * the same file lists (through a directory descriptor), reads the same rows, inserts the
 * same rows with bound parameters in one BEGIN IMMEDIATE ... COMMIT (default journal and
 * synchronous settings, one connection per database operation), examines the drive the
 * same way, and writes the same bytes to standard output and the log. The benchmark
 * checks that its standard output, database and log lines equal Orvask's.
 *
 * Usage: orvask_floor Version | VerifyMachine | UpdateBlackList BASE64   (in the
 * directory of Orvask.db; the drive is the mount point given at build time). It handles
 * the inputs the benchmark gives it, not every input Orvask accepts. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#ifndef FLOOR_DRIVE_MOUNT_POINT
#define FLOOR_DRIVE_MOUNT_POINT "/media/v"
#endif

/* ---- growing byte buffer ---- */
typedef struct {
  char* data;
  size_t size, capacity;
} Buffer;

static void reserve(Buffer* b, size_t more) {
  if (b->size + more <= b->capacity) return;
  size_t capacity = b->capacity ? b->capacity * 2 : 4096;
  while (capacity < b->size + more) capacity *= 2;
  b->data = realloc(b->data, capacity);
  if (!b->data) abort();
  b->capacity = capacity;
}
static void append(Buffer* b, const char* s, size_t n) {
  reserve(b, n);
  memcpy(b->data + b->size, s, n);
  b->size += n;
}
static void appends(Buffer* b, const char* s) { append(b, s, strlen(s)); }

static int writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

/* ---- products ---- */
typedef struct {
  const char* code; /* "package:architecture" */
  size_t codeLength;
  const char* name;
  size_t nameLength;
  const char* version;
  size_t versionLength;
  char date[9];
} Product;

typedef struct {
  Product* items;
  size_t count, capacity;
} Products;

static int byCode(const void* a, const void* b) {
  const Product* x = a;
  const Product* y = b;
  const size_t n = x->codeLength < y->codeLength ? x->codeLength : y->codeLength;
  const int c = memcmp(x->code, y->code, n);
  if (c != 0) return c;
  return x->codeLength < y->codeLength ? -1 : x->codeLength > y->codeLength;
}

/* Sorted by code, one entry per code (the benchmark's codes are unique, so which of two
 * equal codes stays does not arise). */
static void sortUnique(Products* p) {
  qsort(p->items, p->count, sizeof(Product), byCode);
  size_t kept = 0;
  for (size_t i = 0; i < p->count; ++i)
    if (kept == 0 || byCode(&p->items[kept - 1], &p->items[i]) != 0) p->items[kept++] = p->items[i];
  p->count = kept;
}

/* Open-addressing set of product codes (pointers into the products). */
typedef struct {
  const Product** slots;
  size_t mask;
} CodeSet;

static uint64_t hash(const char* s, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ (unsigned char)s[i]) * 1099511628211ull;
  return h;
}
static void setBuild(CodeSet* set, const Products* p) {
  size_t size = 16;
  while (size < p->count * 2) size *= 2;
  set->slots = calloc(size, sizeof(Product*));
  set->mask = size - 1;
  for (size_t i = 0; i < p->count; ++i) {
    size_t at = hash(p->items[i].code, p->items[i].codeLength) & set->mask;
    while (set->slots[at]) at = (at + 1) & set->mask;
    set->slots[at] = &p->items[i];
  }
}
static const Product* setFind(const CodeSet* set, const char* s, size_t n) {
  size_t at = hash(s, n) & set->mask;
  for (const Product* p; (p = set->slots[at]) != NULL; at = (at + 1) & set->mask)
    if (p->codeLength == n && memcmp(p->code, s, n) == 0) return p;
  return NULL;
}

/* ---- the dpkg status file ---- */
static char* readFile(const char* path, size_t* size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return NULL;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    close(fd);
    return NULL;
  }
  size_t capacity = (size_t)info.st_size + 1, used = 0;
  char* data = malloc(capacity + 1);
  for (;;) {
    if (used == capacity) {
      capacity *= 2;
      data = realloc(data, capacity + 1);
    }
    const ssize_t n = read(fd, data + used, capacity - used);
    if (n < 0) {
      free(data);
      close(fd);
      return NULL;
    }
    if (n == 0) break;
    used += (size_t)n;
  }
  close(fd);
  data[used] = '\0';
  *size = used;
  return data;
}

static void trimmed(const char** s, const char** e) {
  while (*s < *e && (**s == ' ' || **s == '\t')) ++*s;
  while (*e > *s && ((*e)[-1] == ' ' || (*e)[-1] == '\t' || (*e)[-1] == '\r')) --*e;
}

static int counts(const char* status, size_t n) {
  const char* last = NULL;
  for (size_t i = 0; i < n; ++i)
    if (status[i] == ' ') last = status + i;
  if (!last) return 0;
  const char* state = last + 1;
  const size_t length = (size_t)(status + n - state);
  if (length == 0) return 0;
  if (length == 13 && memcmp(state, "not-installed", 13) == 0) return 0;
  if (length == 12 && memcmp(state, "config-files", 12) == 0) return 0;
  return 1;
}

/* Fills the inventory: packages whose files may be present, dated by their file list. */
/* The products point into the status text, which the caller frees after them. */
static int inventory(Products* out, Buffer* codes, char** statusText) {
  size_t size = 0;
  char* text = readFile("/var/lib/dpkg/status", &size);
  if (!text) return -1;
  *statusText = text;
  const int info = open("/var/lib/dpkg/info", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const char* end = text + size;
  const char *package = NULL, *packageEnd = NULL, *arch = NULL, *archEnd = NULL;
  const char *version = "", *versionEnd = version, *status = "", *statusEnd = status;
  int inStanza = 0;
  /* Codes are built in one buffer; remember offsets until it stops moving. */
  typedef struct {
    size_t code, codeLength;
    const char* name;
    size_t nameLength;
    const char* version;
    size_t versionLength;
    char date[9];
  } Pending;
  Pending* pending = NULL;
  size_t count = 0, capacity = 0;
  for (const char* line = text; line <= end;) {
    const char* lineEnd = memchr(line, '\n', (size_t)(end - line));
    if (!lineEnd) lineEnd = end;
    const char *s = line, *e = lineEnd;
    trimmed(&s, &e);
    if (s == e) {
      if (inStanza && package && packageEnd > package && counts(status, (size_t)(statusEnd - status))) {
        if (count == capacity) {
          capacity = capacity ? capacity * 2 : 1024;
          pending = realloc(pending, capacity * sizeof(Pending));
        }
        Pending* p = &pending[count++];
        p->code = codes->size;
        append(codes, package, (size_t)(packageEnd - package));
        append(codes, ":", 1);
        append(codes, arch ? arch : "", arch ? (size_t)(archEnd - arch) : 0);
        p->codeLength = codes->size - p->code;
        p->name = package;
        p->nameLength = (size_t)(packageEnd - package);
        p->version = version;
        p->versionLength = (size_t)(versionEnd - version);
        p->date[0] = '\0';
        /* The install date: the day the package's file list was last written. */
        char path[1024];
        struct stat st;
        int found = 0;
        if (info >= 0 && p->codeLength + 6 < sizeof path) {
          memcpy(path, codes->data + p->code, p->codeLength);
          memcpy(path + p->codeLength, ".list", 6);
          found = fstatat(info, path, &st, 0) == 0;
          if (!found) {
            memcpy(path + p->nameLength, ".list", 6);
            found = fstatat(info, path, &st, 0) == 0;
          }
        }
        struct tm local;
        if (found && localtime_r(&st.st_mtime, &local)) strftime(p->date, sizeof p->date, "%Y%m%d", &local);
      }
      package = packageEnd = arch = archEnd = NULL;
      version = versionEnd = status = statusEnd = "";
      inStanza = 0;
    } else {
      inStanza = 1;
      if (*line != ' ' && *line != '\t') {
        const char* colon = memchr(line, ':', (size_t)(lineEnd - line));
        if (colon) {
          const char *v = colon + 1, *ve = lineEnd;
          trimmed(&v, &ve);
          const size_t field = (size_t)(colon - line);
          if (field == 7 && memcmp(line, "Package", 7) == 0) package = v, packageEnd = ve;
          else if (field == 12 && memcmp(line, "Architecture", 12) == 0) arch = v, archEnd = ve;
          else if (field == 7 && memcmp(line, "Version", 7) == 0) version = v, versionEnd = ve;
          else if (field == 6 && memcmp(line, "Status", 6) == 0) status = v, statusEnd = ve;
        }
      }
    }
    if (lineEnd == end) break;
    line = lineEnd + 1;
  }
  if (info >= 0) close(info);
  out->items = malloc((count ? count : 1) * sizeof(Product));
  out->count = count;
  for (size_t i = 0; i < count; ++i) {
    Product* p = &out->items[i];
    p->code = codes->data + pending[i].code;
    p->codeLength = pending[i].codeLength;
    p->name = pending[i].name;
    p->nameLength = pending[i].nameLength;
    p->version = pending[i].version;
    p->versionLength = pending[i].versionLength;
    memcpy(p->date, pending[i].date, sizeof p->date);
  }
  free(pending);
  sortUnique(out);
  return 0;
}

/* ---- the document ---- */
static void quoted(Buffer* b, const char* s, size_t n) {
  static const char hex[] = "0123456789abcdef";
  append(b, "\"", 1);
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = (unsigned char)s[i];
    char escape[12];
    if (c == '"') appends(b, "\\\"");
    else if (c == '\\') appends(b, "\\\\");
    else if (c == '\b') appends(b, "\\b");
    else if (c == '\f') appends(b, "\\f");
    else if (c == '\n') appends(b, "\\n");
    else if (c == '\r') appends(b, "\\r");
    else if (c == '\t') appends(b, "\\t");
    else if (c < 0x20) {
      memcpy(escape, "\\u00", 4);
      escape[4] = hex[c >> 4];
      escape[5] = hex[c & 15];
      append(b, escape, 6);
    } else if (c < 0x80) {
      append(b, (const char*)&c, 1);
    } else {
      /* Package names and dates are ASCII; anything else is not this floor's input. */
      fprintf(stderr, "orvask_floor: text outside ASCII\n");
      exit(3);
    }
  }
  append(b, "\"", 1);
}

static void document(Buffer* b, int id, const char* message, const Products* listed) {
  char head[64];
  appends(b, "{\n\t\"success\" : \n\t{\n\t\t\"error\" : \n\t\t{\n\t\t\t\"id\" : ");
  snprintf(head, sizeof head, "%d", id);
  appends(b, head);
  appends(b, ",\n\t\t\t\"message\" : \"");
  appends(b, message);
  if (!listed || listed->count == 0) {
    appends(b, "\"\n\t\t}\n\t}\n}\n");
    return;
  }
  appends(b, "\"\n\t\t},\n\t\t\"softwares\" : \n\t\t[\n");
  for (size_t i = 0; i < listed->count; ++i) {
    const Product* p = &listed->items[i];
    appends(b, "\t\t\t{\n\t\t\t\t\"dtInstall\" : ");
    quoted(b, p->date, strlen(p->date));
    appends(b, ",\n\t\t\t\t\"name\" : ");
    quoted(b, p->name, p->nameLength);
    appends(b, ",\n\t\t\t\t\"path\" : \"\",\n\t\t\t\t\"uuid\" : ");
    quoted(b, p->code, p->codeLength);
    appends(b, i + 1 < listed->count ? "\n\t\t\t},\n" : "\n\t\t\t}\n");
  }
  appends(b, "\t\t]\n\t}\n}\n");
}

/* ---- the log ---- */
static void logLine(Buffer* log, const char* level, const char* message, const char* more, size_t moreLength) {
  const time_t now = time(NULL);
  struct tm local;
  localtime_r(&now, &local);
  char stamp[64];
  snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d|%5s|", local.tm_year + 1900, local.tm_mday,
           local.tm_mon + 1, local.tm_hour, local.tm_min, local.tm_sec, level);
  appends(log, stamp);
  appends(log, message);
  append(log, more, moreLength);
  append(log, "\n", 1);
}

/* ---- the database ---- */
static sqlite3* openDatabase(void) {
  sqlite3* db = NULL;
  /* One thread: no locking of the connection on every call. */
  if (sqlite3_open_v2("Orvask.db", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, NULL) != SQLITE_OK)
    exit(4);
  sqlite3_busy_timeout(db, 30000);
  return db;
}

static void must(int ok, sqlite3* db) {
  if (!ok) {
    fprintf(stderr, "orvask_floor: %s\n", sqlite3_errmsg(db));
    exit(4);
  }
}

static int insertRows(sqlite3* db, const char* sql, const Products* rows) {
  sqlite3_stmt* insert = NULL;
  must(sqlite3_prepare_v2(db, sql, -1, &insert, NULL) == SQLITE_OK, db);
  for (size_t i = 0; i < rows->count; ++i) {
    const Product* p = &rows->items[i];
    sqlite3_bind_text(insert, 1, p->name, (int)p->nameLength, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, p->version, (int)p->versionLength, SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, p->code, (int)p->codeLength, SQLITE_STATIC);
    sqlite3_bind_text(insert, 4, "", 0, SQLITE_STATIC);
    sqlite3_bind_text(insert, 5, p->date, (int)strlen(p->date), SQLITE_STATIC);
    must(sqlite3_step(insert) == SQLITE_DONE, db);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  return 0;
}

/* ---- the drive ---- */
static int driveFixedOrRemote(void) {
  struct statx st;
  if (statx(AT_FDCWD, FLOOR_DRIVE_MOUNT_POINT, AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_MNT_ID, &st) != 0)
    return 0;
  size_t size = 0;
  char* text = readFile("/proc/self/mountinfo", &size);
  if (!text) return 0;
  char id[32];
  const int idLength = snprintf(id, sizeof id, "%llu ", (unsigned long long)st.stx_mnt_id);
  int result = 0;
  for (char* line = text; line && *line;) {
    char* next = strchr(line, '\n');
    if (next) *next++ = '\0';
    if (strncmp(line, id, (size_t)idLength) == 0) {
      /* ID PARENT MAJOR:MINOR ROOT MOUNTPOINT ... - TYPE */
      unsigned major = 0, minor = 0;
      char point[4096];
      if (sscanf(line, "%*s %*s %u:%u %*s %4095s", &major, &minor, point) == 3 &&
          strcmp(point, FLOOR_DRIVE_MOUNT_POINT) == 0 && major != 0) {
        char path[128];
        snprintf(path, sizeof path, "/sys/dev/block/%u:%u/removable", major, minor);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
          snprintf(path, sizeof path, "/sys/dev/block/%u:%u/../removable", major, minor);
          fd = open(path, O_RDONLY | O_CLOEXEC);
        }
        char c = 0;
        if (fd >= 0 && read(fd, &c, 1) == 1) result = c == '0';
        if (fd >= 0) close(fd);
      }
      break;
    }
    line = next;
  }
  free(text);
  return result;
}

/* ---- commands ---- */
static const char* kSelectWhiteList =
    "SELECT wl.IDWhiteList, wl.Name as 'Name', wl.Version as 'Version', wl.ProductCode as 'ProductCode', "
    "wl.Path as 'Path', wl.Date as 'Date' FROM TBWhiteList as wl";
static const char* kInsertWhiteList =
    "INSERT INTO TBWhiteList (Name, Version, ProductCode, Path, Date) VALUES (?1, ?2, ?3, ?4, ?5);";
static const char* kInsertBlackList =
    "INSERT INTO TBBlackList (Name, Version, ProductCode, Path, Date) VALUES (?1, ?2, ?3, ?4, ?5);";

static int columnNamed(sqlite3_stmt* stmt, const char* name) {
  for (int c = 0; c < sqlite3_column_count(stmt); ++c)
    if (strcmp(sqlite3_column_name(stmt, c), name) == 0) return c;
  return -1;
}

static void verifyMachine(Buffer* out) {
  Buffer codes = {0};
  Products installed = {0};
  char* statusText = NULL;
  if (inventory(&installed, &codes, &statusText) != 0) exit(5);
  CodeSet set;
  setBuild(&set, &installed);

  /* The black list: only the product codes matter. */
  sqlite3* db = openDatabase();
  sqlite3_stmt* select = NULL;
  must(sqlite3_prepare_v2(db, "SELECT * FROM TBBlackList", -1, &select, NULL) == SQLITE_OK, db);
  const int codeColumn = columnNamed(select, "ProductCode");
  size_t rows = 0;
  Products found = {malloc(sizeof(Product) * (installed.count + 1)), 0, 0};
  char* listed = NULL;
  Products added = {0};
  int rc;
  while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
    ++rows;
    const char* code = codeColumn >= 0 ? (const char*)sqlite3_column_text(select, codeColumn) : "";
    const Product* p = setFind(&set, code ? code : "", code ? (size_t)sqlite3_column_bytes(select, codeColumn) : 0);
    if (p) found.items[found.count++] = *p;
  }
  must(rc == SQLITE_DONE, db);
  sqlite3_finalize(select);
  sqlite3_close(db);
  if (rows == 0) {
    document(out, 61461, "BlackList vazia.", NULL);
    goto done;
  }
  if (found.count > 0) {
    sortUnique(&found);
    document(out, 61464, "Software(s) instalado(s) consta(m) na BlackList.", &found);
    goto done;
  }
  if (!driveFixedOrRemote()) {
    document(out, 61451, "Drive [V:] nao esta mapeado ou esta em estado de erro.", NULL);
    goto done;
  }

  /* The white list: read and stored in one write transaction. */
  db = openDatabase();
  must(sqlite3_exec(db, "BEGIN IMMEDIATE", NULL, NULL, NULL) == SQLITE_OK, db);
  must(sqlite3_prepare_v2(db, kSelectWhiteList, -1, &select, NULL) == SQLITE_OK, db);
  const int whiteColumn = columnNamed(select, "ProductCode");
  listed = calloc(installed.count + 1, 1);
  size_t whiteRows = 0, stale = 0;
  while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
    ++whiteRows;
    const char* code = (const char*)sqlite3_column_text(select, whiteColumn);
    const Product* p = setFind(&set, code ? code : "", code ? (size_t)sqlite3_column_bytes(select, whiteColumn) : 0);
    if (p) listed[p - installed.items] = 1;
    else ++stale;
  }
  must(rc == SQLITE_DONE, db);
  sqlite3_finalize(select);
  if (stale > 0) {
    fprintf(stderr, "orvask_floor: white-list removals are not part of this floor\n");
    exit(3);
  }
  added.items = malloc(sizeof(Product) * (installed.count + 1));
  for (size_t i = 0; i < installed.count; ++i)
    if (whiteRows == 0 || !listed[i]) added.items[added.count++] = installed.items[i];
  if (added.count > 0) insertRows(db, kInsertWhiteList, &added);
  if (whiteRows == 0 || added.count > 0) document(out, 61474, "Novo(s) software(s) instalado(s).", &added);
  else document(out, 0, "Maquina liberada para uso.", NULL);
  if (writeAll(1, out->data, out->size) != 0) exit(6);
  out->size = 0;
  must(sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) == SQLITE_OK, db);
  sqlite3_close(db);
done:
  free(added.items);
  free(listed);
  free(found.items);
  free(set.slots);
  free(installed.items);
  free(codes.data);
  free(statusText);
}

/* Base64 up to "=" or the first character outside the alphabet. */
static size_t decodeBase64(const char* in, char* out) {
  unsigned accumulator = 0;
  int bits = 0;
  size_t n = 0;
  for (; *in; ++in) {
    const char c = *in;
    int v = c >= 'A' && c <= 'Z' ? c - 'A' : c >= 'a' && c <= 'z' ? c - 'a' + 26 : c >= '0' && c <= '9' ? c - '0' + 52
            : c == '+' ? 62 : c == '/' ? 63 : -1;
    if (v < 0) break;
    accumulator = ((accumulator << 6) | (unsigned)v) & 0xFFFFFFu;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[n++] = (char)((accumulator >> bits) & 0xFF);
    }
  }
  return n;
}

/* A JSON string at *s (after its opening quote), unescaped in place; the benchmark's
 * input has no escapes, so any backslash is refused. */
static const char* jsonString(char** s, size_t* length) {
  char* start = *s;
  char* end = strchr(start, '"');
  if (!end || memchr(start, '\\', (size_t)(end - start))) exit(3);
  *length = (size_t)(end - start);
  *s = end + 1;
  return start;
}

static void updateBlackList(const char* input, Buffer* out) {
  char* json = malloc(strlen(input) + 1);
  json[decodeBase64(input, json)] = '\0';
  /* {"content":[{"name":"..","productcode":"..","version":".."},...]} in this member order. */
  char* s = strstr(json, "\"content\"");
  Products entries = {0};
  size_t capacity = 0;
  while (s && (s = strstr(s, "{\"name\":\"")) != NULL) {
    s += 9;
    if (entries.count == capacity) {
      capacity = capacity ? capacity * 2 : 1024;
      entries.items = realloc(entries.items, capacity * sizeof(Product));
    }
    Product* p = &entries.items[entries.count];
    p->name = jsonString(&s, &p->nameLength);
    if (strncmp(s, ",\"productcode\":\"", 16) != 0) exit(3);
    s += 16;
    p->code = jsonString(&s, &p->codeLength);
    if (strncmp(s, ",\"version\":\"", 12) != 0) exit(3);
    s += 12;
    p->version = jsonString(&s, &p->versionLength);
    p->date[0] = '\0';
    if (p->nameLength == 0) break;
    ++entries.count;
  }
  sortUnique(&entries);
  sqlite3* db = openDatabase();
  if (entries.count > 0) {
    must(sqlite3_exec(db, "BEGIN IMMEDIATE", NULL, NULL, NULL) == SQLITE_OK, db);
    /* Path and Date are empty: the insert binds the product's date, empty here. */
    insertRows(db, kInsertBlackList, &entries);
    must(sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) == SQLITE_OK, db);
  }
  sqlite3_close(db);
  document(out, 61465, "BlackList atualizada.", NULL);
  free(entries.items);
  free(json);
}

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const int logFd = open("OrvaskApp.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  Buffer log = {0}, out = {0}, args = {0};
  for (int i = 1; i < argc; ++i) {
    appends(&args, argv[i]);
    append(&args, "|", 1);
  }
  logLine(&log, "DEBUG", "Programa Orvask iniciando.", "", 0);
  logLine(&log, "DEBUG", "Lista de argumentos: ", args.data, args.size);
  const char* command = argc > 1 ? argv[1] : "";
  if (strcasecmp(command, "Version") == 0) appends(&out, "Version!\n");
  else if (strcasecmp(command, "VerifyMachine") == 0) verifyMachine(&out);
  else if (strcasecmp(command, "UpdateBlackList") == 0 && argc > 2) updateBlackList(argv[2], &out);
  else return 2;
  int status = 0;
  if (out.size > 0 && writeAll(1, out.data, out.size) != 0) status = 6;
  if (status == 0 && logFd >= 0 && writeAll(logFd, log.data, log.size) != 0) status = 6;
  if (logFd >= 0) close(logFd);
  free(log.data);
  free(out.data);
  free(args.data);
  return status;
}
