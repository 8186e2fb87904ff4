# plot() and autoplot() of a result. The figure is not built here: the
# engine's figure code (the one `morvenak plot` draws) places everything of it
# on a canvas of width x height inches and hands back its model as JSON
# (positions in points from the top left corner, labels placed, colours
# resolved, the legend laid out). plot() draws that model in base graphics,
# autoplot() makes a ggplot2 object of it; neither moves anything.

# The ordination's number among the result's ordinations.
ordination_number <- function(x, ordination) {
  pick_ordination(x, ordination)  # its checks and messages
  if (is.character(ordination)) match(ordination, names(x$ordinations)) else as.integer(ordination)
}

# The axes a plot of an ordination of `axes` axes shows, as the command line's
# figures choose them: both choices, or, for an ordination of one axis, that
# axis as a strip chart when the choices hold it. Never any other axis.
plotted_axes <- function(name, axes, choices) {
  if (!is.numeric(choices) || length(choices) != 2L || anyNA(choices) || any(choices < 1) ||
      any(choices != round(choices)) || choices[1L] == choices[2L])
    stop_morvenak("'choices' must be two different axes numbered from 1, such as c(1, 2)")
  choices <- as.integer(choices)
  if (axes == 1L && 1L %in% choices) return(choices)
  if (all(choices <= axes)) return(choices)
  stop_morvenak(sprintf("ordination '%s' has %d %s: no axis %d", name, axes, if (axes == 1L) "axis" else "axes",
                        choices[choices > axes][1L]))
}

# A column that colours or shapes the samples: NULL; the name of a column of
# `data` or, without one there, of a factor of the design; or a vector of one
# value per sample, named by the expression that gave it. Its values as text,
# as a labels table holds them ("" where one is missing).
style_column <- function(value, expr, what, x, data) {
  if (is.null(value)) return(NULL)
  n <- x$n
  if (is.character(value) && length(value) == 1L) {
    name <- value
    if (!is.null(data) && name %in% names(data)) value <- data[[name]]
    else if (name %in% names(x$groups)) value <- x$groups[[name]]
    else stop_morvenak(sprintf("'%s' names '%s', which is no column of 'data' and no factor of the design%s", what,
                               name, if (is.null(data)) " (give the table in 'data')" else ""))
  } else {
    name <- deparse1(expr)
  }
  if (is.list(value) || !is.null(dim(value)) || !(is.atomic(value) || is.factor(value)))
    stop_morvenak(sprintf("'%s' must name a column or be a vector of one value per sample", what))
  if (length(value) != n)
    stop_morvenak(sprintf("'%s' (%s) has %d values for %d samples", what, name, length(value), n))
  text <- as.character(value)
  text[is.na(value)] <- ""
  list(name = name, values = text)
}

figure_options <- function(hulls, ellipses, point_labels, top_species, scores, width, height) {
  size <- function(v, what) {
    if (!is.numeric(v) || length(v) != 1L || is.na(v) || v < 2 || v > 50)
      stop_morvenak(sprintf("'%s' must be a number of inches from 2 to 50", what))
    as.double(v)
  }
  list(width = size(width, "width"), height = size(height, "height"), hulls = flag(hulls, "hulls"),
       ellipses = flag(ellipses, "ellipses"),
       point_labels = match.arg(point_labels, c("auto", "none", "names", "numbers")),
       top_species = whole_number(top_species, "top_species", 0, 1e6),
       fitted = match.arg(scores, c("sites", "fitted")) == "fitted")
}

# The model of the figure of one ordination, parsed, its JSON text as the
# attribute "json".
figure_model <- function(x, ordination, choices, options, colour, shape) {
  k <- ordination_number(x, ordination)
  o <- x$ordinations[[k]]
  name <- names(x$ordinations)[k]
  if (!ncol(o$sites)) stop_morvenak(sprintf("nothing to plot: ordination '%s' has %s", name, o$note))
  choices <- plotted_axes(name, ncol(o$sites), choices)
  factors <- as.character(names(x$levels))  # none for a model of terms
  ordinations <- lapply(x$ordinations, function(o) {
    list(title = o$title, eigenvalues = unname(o$eigenvalues), proportions = unname(o$proportions),
         negative_share = if (isTRUE(o$principal_coordinates) && is.finite(o$negative_share)) o$negative_share
                          else -1,
         objects = o$sites, sites = o$site_scores, species = as.character(rownames(o$species)),
         species_scores = o$species)
  })
  styles <- Filter(Negate(is.null), list(colour, shape))
  columns <- setNames(lapply(styles, `[[`, "values"), vapply(styles, `[[`, "", "name"))
  columns <- columns[!duplicated(names(columns))]
  options <- c(options, list(axis_x = choices[1L] - 1L, axis_y = choices[2L] - 1L,
                             colour_by = if (is.null(colour)) "" else colour$name,
                             shape_by = if (is.null(shape)) "" else shape$name))
  out <- .Call(morvenak_figure, rownames(o$sites), factors,
               lapply(unname(x$groups[factors]), as.character), lapply(unname(x$levels), function(l) unique(l$level)),
               columns, unname(ordinations), k - 1L, options)
  if (!out$ok) {
    # The figure's words for the command's options, in the argument names of R.
    out$message <- sub("^--colour-by ", "colour_by ", sub("^--shape-by ", "shape_by ", out$message))
    engine_failure(out, NULL)
  }
  model <- jsonlite::fromJSON(out$json, simplifyVector = FALSE)
  attr(model, "json") <- out$json
  model
}

plot.morvenak <- function(x, ordination = 1L, choices = c(1L, 2L), hulls = FALSE, ellipses = FALSE,
                          point_labels = c("auto", "none", "names", "numbers"), top_species = 10L,
                          scores = c("sites", "fitted"), colour_by = NULL, shape_by = NULL, data = NULL,
                          width = 7, height = 6, ...) {
  unknown(...)
  model <- figure_model(x, ordination, choices,
                        figure_options(hulls, ellipses, point_labels, top_species, scores, width, height),
                        style_column(colour_by, substitute(colour_by), "colour_by", x, data),
                        style_column(shape_by, substitute(shape_by), "shape_by", x, data))
  draw_model(model)
  invisible(model)
}

autoplot.morvenak <- function(object, ordination = 1L, choices = c(1L, 2L), hulls = FALSE, ellipses = FALSE,
                              point_labels = c("auto", "none", "names", "numbers"), top_species = 10L,
                              scores = c("sites", "fitted"), colour_by = NULL, shape_by = NULL, data = NULL,
                              width = 7, height = 6, ...) {
  unknown(...)
  if (!requireNamespace("ggplot2", quietly = TRUE))
    stop_morvenak("autoplot() makes a ggplot2 object: install ggplot2 (Debian: r-cran-ggplot2)")
  model <- figure_model(object, ordination, choices,
                        figure_options(hulls, ellipses, point_labels, top_species, scores, width, height),
                        style_column(colour_by, substitute(colour_by), "colour_by", object, data),
                        style_column(shape_by, substitute(shape_by), "shape_by", object, data))
  model_ggplot(model)
}

unknown <- function(...) {
  given <- names(list(...))
  if (length(list(...)))
    stop_morvenak(sprintf("unknown argument%s: %s", if (length(list(...)) > 1L) "s" else "",
                          paste(if (is.null(given)) "(unnamed)" else ifelse(nzchar(given), given, "(unnamed)"),
                                collapse = ", ")))
}

# ---------------------------------------------------------------- the model's parts

num <- function(items, name) vapply(items, function(i) as.double(i[[name]]), 0)
chr <- function(items, name) vapply(items, function(i) as.character(i[[name]]), "")
lgl <- function(items, name) vapply(items, function(i) isTRUE(i[[name]]), NA)

# Lines [x0, y0, x1, y1] as columns.
line_frame <- function(lines) {
  m <- matrix(vapply(lines, function(l) as.double(unlist(l)), numeric(4L)), ncol = 4L, byrow = TRUE)
  data.frame(x0 = m[, 1L], y0 = m[, 2L], x1 = m[, 3L], y1 = m[, 4L])
}

# The texts that show (none empty), a row each.
text_frame <- function(texts) {
  texts <- Filter(function(t) !is.null(t) && nzchar(t$text), texts)
  data.frame(text = chr(texts, "text"), x = num(texts, "x"), y = num(texts, "y"), size = num(texts, "size"),
             bold = lgl(texts, "bold"), vertical = lgl(texts, "vertical"), colour = chr(texts, "colour"),
             stringsAsFactors = FALSE)
}

# The outline of a marker's shape about (x, y), radius r, on the canvas (its
# y runs down), as the command's renderer draws it.
shape_outline <- function(shape, x, y, r) {
  polygon_of <- function(corners, start, radius) {
    a <- start + 2 * pi * (seq_len(corners) - 1L) / corners
    list(x = x + radius * cos(a), y = y + radius * sin(a))
  }
  switch(shape,
         circle = polygon_of(40L, 0, r),
         triangle = polygon_of(3L, -pi / 2, 1.25 * r),
         square = list(x = x + 0.9 * r * c(-1, 1, 1, -1), y = y + 0.9 * r * c(-1, -1, 1, 1)),
         diamond = polygon_of(4L, 0, 1.25 * r),
         triangle_down = polygon_of(3L, pi / 2, 1.25 * r),
         star = {
           a <- -pi / 2 + pi * (0:9) / 5
           rr <- ifelse(0:9 %% 2L == 1L, 0.5, 1.35) * r
           list(x = x + rr * cos(a), y = y + rr * sin(a))
         },
         stop(sprintf("the figure's model has a marker of shape '%s', which this version does not draw", shape)))
}

# Markers as polygons: their corners (id: the marker), and per marker its
# fill, edge and edge's width.
marker_polygons <- function(markers) {
  corners <- lapply(markers, function(m) shape_outline(m$shape, m$x, m$y, m$radius))
  list(x = unlist(lapply(corners, `[[`, "x")), y = unlist(lapply(corners, `[[`, "y")),
       id = rep(seq_along(corners), vapply(corners, function(p) length(p$x), 0L)),
       fill = chr(markers, "fill"), edge = chr(markers, "edge"), width = num(markers, "edge_width"))
}

# A species arrow's head: a triangle at its tip, 5 points long.
arrow_heads <- function(arrows) {
  heads <- lapply(arrows, function(a) {
    angle <- atan2(a$y1 - a$y0, a$x1 - a$x0)
    list(x = c(a$x1, a$x1 - 5 * cos(angle - 0.4), a$x1 - 5 * cos(angle + 0.4)),
         y = c(a$y1, a$y1 - 5 * sin(angle - 0.4), a$y1 - 5 * sin(angle + 0.4)))
  })
  list(x = unlist(lapply(heads, `[[`, "x")), y = unlist(lapply(heads, `[[`, "y")),
       id = rep(seq_along(heads), each = 3L))
}

# The colour bar's ramp: its bar cut in slices from the least value at the
# bottom, each filled with the scale's colour at its middle (a bar of one
# value in the scale's middle colour).
bar_slices <- function(bar, slices = 64L) {
  b <- as.double(unlist(bar$bar))
  ramp <- grDevices::colorRamp(unlist(bar$stops))
  t <- if (bar$hi > bar$lo) (seq_len(slices) - 0.5) / slices else rep(0.5, slices)
  edges <- b[4L] - (b[4L] - b[2L]) * (0:slices) / slices
  list(x0 = b[1L], x1 = b[3L], lower = edges[-(slices + 1L)], upper = edges[-1L],
       fill = grDevices::rgb(ramp(t), maxColorValue = 255))
}

# Every text of the figure after the frame, in the renderer's order: the
# labels, the ticks, the titles, the colour bar's, the legend's and the note.
later_texts <- function(model) {
  bar <- model$colour_bar
  c(lapply(model$labels, `[[`, "text"), model$ticks,
    list(model$title, model$subtitle, model$x_title, model$y_title),
    if (!is.null(bar)) c(list(bar$title), bar$ticks), lapply(model$legend, `[[`, "text"), list(model$note))
}

# ---------------------------------------------------------------- base graphics

# Draws the model on the current device, the canvas scaled to the plotting
# region with its aspect kept and centred in it; sizes in points scale with it.
draw_model <- function(model) {
  old <- graphics::par(mar = c(0, 0, 0, 0))
  on.exit(graphics::par(old))
  graphics::plot.new()
  W <- model$width
  H <- model$height
  pin <- graphics::par("pin")
  s <- min(pin[1L] * 72 / W, pin[2L] * 72 / H)  # device points per point of the canvas
  half <- pin * 72 / s / 2
  graphics::plot.window(xlim = W / 2 + c(-1, 1) * half[1L], ylim = H / 2 + c(1, -1) * half[2L],
                        xaxs = "i", yaxs = "i")
  # The command's font where the device has it by that name (cairo's devices
  # do; pdf() and postscript() know their own families only), else its sans.
  family <- tryCatch({
    graphics::strwidth("M", family = "DejaVu Sans")
    "DejaVu Sans"
  }, warning = function(w) "", error = function(e) "")
  lwd <- function(points) points * s * 96 / 72
  cex <- function(size) size * s / (graphics::par("ps") * graphics::par("cex"))
  segments_of <- function(lines, ...) {
    if (!length(lines)) return(invisible())
    l <- line_frame(lines)
    graphics::segments(l$x0, l$y0, l$x1, l$y1, ...)
  }
  markers_of <- function(markers) {
    if (!length(markers)) return(invisible())
    p <- marker_polygons(markers)
    # polygon() takes one line width: the markers in runs of equal width, in order.
    runs <- rle(p$width)
    ends <- cumsum(runs$lengths)
    for (r in seq_along(ends)) {
      ids <- (ends[r] - runs$lengths[r] + 1L):ends[r]
      keep <- p$id %in% ids
      graphics::polygon(split_by(p$x[keep], p$id[keep]), split_by(p$y[keep], p$id[keep]), col = p$fill[ids],
                        border = p$edge[ids], lwd = lwd(runs$values[r]))
    }
  }
  texts_of <- function(texts) {
    t <- text_frame(texts)
    for (vertical in c(FALSE, TRUE)) {
      k <- t$vertical == vertical
      if (any(k))
        graphics::text(t$x[k], t$y[k], t$text[k], adj = c(0, 0), cex = cex(t$size[k]),
                       font = ifelse(t$bold[k], 2L, 1L), col = t$colour[k], srt = if (vertical) 90 else 0, family = family,
                       xpd = NA)
    }
  }

  graphics::rect(0, H, W, 0, col = "white", border = NA)
  fr <- as.double(unlist(model$frame))
  graphics::clip(fr[1L], fr[3L], fr[4L], fr[2L])
  segments_of(model$row_lines, col = "#d9d9d9", lwd = lwd(0.5))
  dash <- max(1L, min(15L, round(4 * s * 96 / 72 / max(1, lwd(0.5)))))
  segments_of(model$zero_lines, col = "#999999", lwd = lwd(0.5),
              lty = paste0(as.hexmode(dash), as.hexmode(max(1L, round(dash * 3 / 4)))))
  for (o in model$outlines) {
    graphics::polygon(unlist(o$x), unlist(o$y), col = grDevices::adjustcolor(o$colour, alpha.f = 0.12),
                      border = grDevices::adjustcolor(o$colour, alpha.f = 0.9), lwd = lwd(0.9))
  }
  if (length(model$arrows)) {
    a <- model$arrows
    graphics::segments(num(a, "x0"), num(a, "y0"), num(a, "x1"), num(a, "y1"), col = "#545454", lwd = lwd(0.8))
    h <- arrow_heads(a)
    graphics::polygon(split_by(h$x, h$id), split_by(h$y, h$id), col = "#545454", border = "#545454",
                      lwd = lwd(0.8))
  }
  segments_of(Filter(Negate(is.null), lapply(model$labels, `[[`, "leader")), col = "#737373", lwd = lwd(0.4))
  markers_of(model$markers)
  for (ce in model$centroids) {
    m <- ce$marker
    if (isTRUE(ce$bar)) graphics::segments(m$x, m$y - m$radius, m$x, m$y + m$radius, col = "black", lwd = lwd(2))
    else markers_of(list(m))
  }
  do.call(graphics::clip, as.list(graphics::par("usr")))

  graphics::rect(fr[1L], fr[4L], fr[3L], fr[2L], border = "black", lwd = lwd(0.8))
  segments_of(model$tick_marks, col = "black", lwd = lwd(0.8))
  bar <- model$colour_bar
  if (!is.null(bar)) {
    b <- bar_slices(bar)
    graphics::rect(b$x0, b$lower, b$x1, b$upper, col = b$fill, border = NA)
    edge <- as.double(unlist(bar$bar))
    graphics::rect(edge[1L], edge[4L], edge[3L], edge[2L], border = "black", lwd = lwd(0.5))
    segments_of(bar$tick_marks, col = "black", lwd = lwd(0.5))
  }
  markers_of(Filter(Negate(is.null), lapply(model$legend, `[[`, "symbol")))
  texts_of(later_texts(model))
}

# The polygons of ids as one vector of corners, NA between two (polygon()'s
# form of several polygons).
split_by <- function(v, id) {
  parts <- split(v, factor(id, levels = unique(id)))
  joined <- unlist(lapply(parts, function(p) c(p, NA)), use.names = FALSE)
  joined[-length(joined)]
}

# ---------------------------------------------------------------- ggplot2

# The model as a ggplot2 object: every part a layer in canvas coordinates, the
# y scale reversed (the canvas's y runs down), one unit for both axes, the
# canvas whole. Sizes in points are those of a drawing width x height inches
# (ggsave(width = , height = )); a larger drawing shows its texts smaller.
model_ggplot <- function(model) {
  pt <- ggplot2::.pt
  lw <- function(points) points * 96 / 72 / pt  # a line's width, in ggplot2's units
  aes_of <- function(...) do.call(ggplot2::aes, lapply(list(...), as.name))
  segments_layer <- function(lines, colour, width, linetype = "solid") {
    if (!length(lines)) return(NULL)
    ggplot2::geom_segment(aes_of(x = "x0", y = "y0", xend = "x1", yend = "y1"), data = line_frame(lines),
                    colour = colour, linewidth = lw(width), linetype = linetype, lineend = "butt")
  }
  markers_layer <- function(markers) {
    if (!length(markers)) return(NULL)
    p <- marker_polygons(markers)
    frame <- data.frame(x = p$x, y = p$y, id = p$id, fill = p$fill[p$id], edge = p$edge[p$id],
                        width = lw(p$width[p$id]), stringsAsFactors = FALSE)
    ggplot2::geom_polygon(aes_of(x = "x", y = "y", group = "id", fill = "fill", colour = "edge", linewidth = "width"),
                    data = frame)
  }
  W <- model$width
  H <- model$height
  fr <- as.double(unlist(model$frame))
  layers <- list(ggplot2::annotate("rect", xmin = 0, xmax = W, ymin = 0, ymax = H, fill = "white", colour = NA),
                 segments_layer(model$row_lines, "#d9d9d9", 0.5),
                 segments_layer(model$zero_lines, "#999999", 0.5, "42"))
  if (length(model$outlines)) {
    o <- model$outlines
    frame <- data.frame(x = unlist(lapply(o, function(p) unlist(p$x))), y = unlist(lapply(o, function(p) unlist(p$y))),
                        id = rep(seq_along(o), vapply(o, function(p) length(p$x), 0L)))
    frame$fill <- grDevices::adjustcolor(chr(o, "colour"), alpha.f = 0.12)[frame$id]
    frame$edge <- grDevices::adjustcolor(chr(o, "colour"), alpha.f = 0.9)[frame$id]
    frame$width <- lw(0.9)
    layers <- c(layers, list(ggplot2::geom_polygon(aes_of(x = "x", y = "y", group = "id", fill = "fill", colour = "edge",
                                                    linewidth = "width"), data = frame)))
  }
  if (length(model$arrows)) {
    a <- model$arrows
    h <- as.data.frame(arrow_heads(a))
    layers <- c(layers, list(
      ggplot2::geom_segment(aes_of(x = "x0", y = "y0", xend = "x1", yend = "y1"),
                      data = data.frame(x0 = num(a, "x0"), y0 = num(a, "y0"), x1 = num(a, "x1"), y1 = num(a, "y1")),
                      colour = "#545454", linewidth = lw(0.8)),
      ggplot2::geom_polygon(aes_of(x = "x", y = "y", group = "id"), data = h, fill = "#545454", colour = "#545454",
                      linewidth = lw(0.8))))
  }
  layers <- c(layers, list(segments_layer(Filter(Negate(is.null), lapply(model$labels, `[[`, "leader")),
                                          "#737373", 0.4),
                           markers_layer(model$markers)))
  bars <- Filter(function(ce) isTRUE(ce$bar), model$centroids)
  if (length(bars)) {
    m <- lapply(bars, `[[`, "marker")
    layers <- c(layers, list(ggplot2::geom_segment(
      aes_of(x = "x", y = "y0", xend = "x", yend = "y1"),
      data = data.frame(x = num(m, "x"), y0 = num(m, "y") - num(m, "radius"), y1 = num(m, "y") + num(m, "radius")),
      colour = "black", linewidth = lw(2), lineend = "butt")))
  }
  layers <- c(layers, list(
    markers_layer(lapply(Filter(function(ce) !isTRUE(ce$bar), model$centroids), `[[`, "marker")),
    ggplot2::annotate("rect", xmin = fr[1L], xmax = fr[3L], ymin = fr[2L], ymax = fr[4L], fill = NA, colour = "black",
                linewidth = lw(0.8)),
    segments_layer(model$tick_marks, "black", 0.8)))
  bar <- model$colour_bar
  if (!is.null(bar)) {
    b <- bar_slices(bar)
    edge <- as.double(unlist(bar$bar))
    layers <- c(layers, list(
      ggplot2::geom_rect(aes_of(xmin = "x0", xmax = "x1", ymin = "upper", ymax = "lower", fill = "fill"),
                   data = data.frame(x0 = b$x0, x1 = b$x1, lower = b$lower, upper = b$upper, fill = b$fill),
                   colour = NA),
      ggplot2::annotate("rect", xmin = edge[1L], xmax = edge[3L], ymin = edge[2L], ymax = edge[4L], fill = NA,
                  colour = "black", linewidth = lw(0.5)),
      segments_layer(bar$tick_marks, "black", 0.5)))
  }
  t <- text_frame(later_texts(model))
  t$fontface <- ifelse(t$bold, "bold", "plain")
  t$angle <- ifelse(t$vertical, 90, 0)
  t$size <- t$size / pt
  layers <- c(layers, list(markers_layer(Filter(Negate(is.null), lapply(model$legend, `[[`, "symbol"))),
                           ggplot2::geom_text(aes_of(x = "x", y = "y", label = "text", size = "size", colour = "colour",
                                               fontface = "fontface", angle = "angle"),
                                        data = t, hjust = 0, vjust = 0)))
  ggplot2::ggplot() + Filter(Negate(is.null), layers) +
    ggplot2::scale_fill_identity() + ggplot2::scale_colour_identity() + ggplot2::scale_linewidth_identity() +
    ggplot2::scale_size_identity() + ggplot2::scale_x_continuous(limits = c(0, W), expand = c(0, 0)) +
    ggplot2::scale_y_reverse(limits = c(H, 0), expand = c(0, 0)) + ggplot2::coord_fixed(ratio = 1) + ggplot2::theme_void() +
    ggplot2::theme(plot.background = ggplot2::element_rect(fill = "white", colour = NA))
}
