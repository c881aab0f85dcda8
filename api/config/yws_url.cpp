/*
 * The checks that keep hostile URL and sub-protocol strings away from the
 * library, and the request-size estimate they feed.
 */
#include <cstdio>
#include <cstring>

#include <lws_config.h> /* LWS_WITH_IPV6 */

#include "yv_net.h"
#include "yws_config.h"

namespace {

bool is_alpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/* n characters of s equal the lower-case word, without regard to case. */
bool word_is(const char *s, size_t n, const char *word) {
  if (std::strlen(word) != n) return false;
  for (size_t i = 0; i < n; i++)
    if (lower(s[i]) != word[i]) return false;
  return true;
}

/* What RFC 3986 allows in a path or query besides %-escapes. */
bool is_path_char(char c) {
  return is_alpha(c) || is_digit(c) || std::strchr("-._~!$&'()*+,;=:@/?", c) != nullptr;
}

/* Labels of letters, digits and inner hyphens, 1..63 each; an all-numeric
 * name must be a dotted IPv4 address. */
bool host_name_ok(const char *h) {
  size_t label = 0;
  bool numeric = true;
  char prev = '.';
  for (const char *c = h; *c; c++) {
    if (*c == '.') {
      if (label == 0 || prev == '-') return false;
      label = 0;
    } else if (is_alpha(*c) || is_digit(*c) || *c == '-') {
      if (label == 0 && *c == '-') return false;
      if (++label > 63) return false;
      if (!is_digit(*c)) numeric = false;
    } else {
      return false;
    }
    prev = *c;
  }
  if (label == 0 || prev == '-') return false;
  if (!numeric) return true;
  uint8_t a[4];
  return lwip_inet_pton(YV_AF_INET, h, a) == 1;
}

bool path_ok(const char *p, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (p[i] == '%') {
      if (i + 2 >= n) return false;
      if (!is_hex(p[i + 1]) || !is_hex(p[i + 2])) return false;
      i += 2;
    } else if (!is_path_char(p[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool yws_str_ieq(const char *a, const char *b) {
  for (; *a && *b; a++, b++)
    if (lower(*a) != lower(*b)) return false;
  return *a == *b;
}

bool yws_is_tchar(char c) {
  return is_alpha(c) || is_digit(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

yws_err_e yws_url_parse(const char *url, yws_url_t *out) {
  if (!url || !out) return YWS_ERR_INVAL_URL;
  std::memset(out, 0, sizeof(*out));
  const char *sep = std::strstr(url, "://");
  if (!sep) return YWS_ERR_INVAL_URL;
  size_t scheme_len = static_cast<size_t>(sep - url);
  if (word_is(url, scheme_len, "ws"))
    out->tls = false;
  else if (word_is(url, scheme_len, "wss"))
    out->tls = true;
  else
    return YWS_ERR_INVAL_URL;

  const char *auth = sep + 3;
  size_t auth_len = std::strcspn(auth, "/?#");
  const char *rest = auth + auth_len;
  if (std::memchr(auth, '@', auth_len)) return YWS_ERR_INVAL_URL; /* no userinfo */

  const char *host = auth;
  size_t host_len;
  const char *after;
  if (auth_len > 0 && auth[0] == '[') {
    const char *close = static_cast<const char *>(std::memchr(auth, ']', auth_len));
    if (!close) return YWS_ERR_INVAL_URL;
    host = auth + 1;
    host_len = static_cast<size_t>(close - host);
    after = close + 1;
    out->ipv6 = true;
  } else {
    const char *colon = static_cast<const char *>(std::memchr(auth, ':', auth_len));
    host_len = colon ? static_cast<size_t>(colon - auth) : auth_len;
    after = auth + host_len;
  }
  if (host_len == 0 || host_len > YWS_URL_HOST_MAX) return YWS_ERR_INVAL_URL;
  std::memcpy(out->host, host, host_len);
  out->host[host_len] = '\0';
  if (out->ipv6) {
#ifdef LWS_WITH_IPV6
    uint8_t a6[16];
    if (std::strspn(out->host, "0123456789abcdefABCDEF:.") != host_len ||
        lwip_inet_pton(YV_AF_INET6, out->host, a6) != 1)
      return YWS_ERR_INVAL_URL;
#else
    return YWS_ERR_INVAL_URL; /* this library build cannot reach it */
#endif
  } else if (!host_name_ok(out->host)) {
    return YWS_ERR_INVAL_URL;
  }

  out->port = out->tls ? 443 : 80;
  if (after < rest) {
    if (*after != ':') return YWS_ERR_INVAL_URL;
    const char *d = after + 1;
    size_t nd = static_cast<size_t>(rest - d);
    if (nd == 0 || nd > 5) return YWS_ERR_INVAL_URL;
    int port = 0;
    for (size_t i = 0; i < nd; i++) {
      if (!is_digit(d[i])) return YWS_ERR_INVAL_URL;
      port = port * 10 + (d[i] - '0');
    }
    if (port < 1 || port > 65535) return YWS_ERR_INVAL_URL;
    out->port = port;
  }

  size_t path_len = std::strlen(rest);
  if (*rest == '#' || !path_ok(rest, path_len)) return YWS_ERR_INVAL_URL;
  bool slash = *rest != '/';
  if (path_len + (slash ? 1 : 0) > YWS_URL_PATH_MAX) return YWS_ERR_INVAL_URL;
  std::snprintf(out->path, sizeof(out->path), "%s%s", slash ? "/" : "", rest);
  std::snprintf(out->host_port, sizeof(out->host_port), out->ipv6 ? "[%s]:%d" : "%s:%d", out->host,
                out->port);
  return YWS_OK;
}

bool yws_subprot_is_valid(const char *s) {
  if (!s) return false;
  size_t n = std::strlen(s);
  if (n > YWS_SUBPROT_MAX) return false;
  if (n == 0) return true;
  bool in_token = false, after_comma = false;
  for (size_t i = 0; i < n; i++) {
    char c = s[i];
    if (yws_is_tchar(c)) {
      in_token = true;
      after_comma = false;
    } else if (c == ',' && in_token) {
      in_token = false;
      after_comma = true;
    } else if (c == ' ' && after_comma) {
      /* optional spaces after a comma */
    } else {
      return false;
    }
  }
  return in_token;
}

size_t yws_request_size(const yws_url_t *url, const char *subprot, int cfg_id) {
  size_t n = YWS_REQUEST_FIXED + std::strlen(url->path) + 2 * std::strlen(url->host_port);
  if (subprot) n += std::strlen(subprot);
  return n + yws_cfg_headers_wire_size(cfg_id);
}
